#include "plugin/plane_driver.h"

#include "plugin/text_builder.h"

namespace velmoraine {

namespace {

bool FilterOnePlane(const FramePlane& plane, const PreparedFilter& filter, PreparedPlaneFunc filterPlane,
                    PreparedWidePlaneFunc filterWidePlane) {
  const PlaneView& view = plane.view;
  if (plane.bits == 8) return filterPlane(view, filter);
  // Words are read in place: the host's rows must start on a word.
  if ((reinterpret_cast<uintptr_t>(view.data) & 1u) != 0) return false;
  const PlaneView16 wide{reinterpret_cast<uint16_t*>(view.data), view.pitch, view.width, view.height,
                         plane.bits};
  return filterWidePlane(wide, filter);
}

}  // namespace

PlaneDriverResult FilterFramePlanes(const FramePlane* planes, int count, const PreparedFilter& filter,
                                    PreparedPlaneFunc filterPlane, PreparedWidePlaneFunc filterWidePlane) {
  for (int i = 0; i < count; ++i) {
    const PlaneView& view = planes[i].view;
    if (view.width <= 0 || view.height <= 0) continue;  // no such plane in this format
    if (view.data == nullptr) return PlaneDriverResult{i, kPlaneNotWritable};
    if (!FilterOnePlane(planes[i], filter, filterPlane, filterWidePlane))
      return PlaneDriverResult{i, kPlaneNotFiltered};
  }
  return PlaneDriverResult{-1, kPlaneNotFiltered};
}

void DescribePlaneFailure(const FramePlane& plane, PlaneFailure failure, int64_t frame, char* text,
                          size_t size) {
  TextBuilder out(text, size);
  out.Add("velmoraine: frame ").Add(frame).Add(": ");
  const PlaneView& view = plane.view;
  if (failure == kPlaneNotWritable) {
    out.Add("the host did not make the ").AddChar(plane.name).Add(" plane (");
    out.Add(static_cast<int64_t>(view.width)).AddChar('x').Add(static_cast<int64_t>(view.height));
    out.Add(") writable");
    return;
  }
  out.Add("the ").AddChar(plane.name).Add(" plane (");
  out.Add(static_cast<int64_t>(view.width)).AddChar('x').Add(static_cast<int64_t>(view.height));
  if (plane.bits != 8) out.Add(" of ").Add(static_cast<int64_t>(plane.bits)).Add("-bit samples");
  out.Add(", pitch ").Add(static_cast<int64_t>(view.pitch));
  out.Add(") could not be filtered: its work buffers could not be allocated or its layout is invalid");
}

}  // namespace velmoraine
