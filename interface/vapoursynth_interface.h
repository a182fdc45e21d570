// Our declarations of the VapourSynth plug-in interface, version 4 (hosts
// R55 and later), 64-bit targets only.
//
// Everything here is a binary fact of the host: struct layouts, the order of
// the function table, the enum values. Only the parts this project calls are
// given real types; the other slots of the function table are plain pointers
// kept for their position. The static_asserts at the end pin every offset.
//
// Calling convention: the host's functions use the platform's default C
// convention on 64-bit targets (none is variadic), so no attribute is needed.
#pragma once

#include <stddef.h>
#include <stdint.h>

static_assert(sizeof(void*) == 8, "the VapourSynth interface is declared for 64-bit targets only");

extern "C" {

// Opaque handles owned by the host.
struct VSMap;
struct VSNode;
struct VSFrame;
struct VSCore;
struct VSFrameContext;
struct VSPlugin;

enum VSColorFamily { cfUndefined = 0, cfGray = 1, cfRGB = 2, cfYUV = 3 };
enum VSSampleType { stInteger = 0, stFloat = 1 };
enum VSActivationReason { arInitial = 0, arAllFramesReady = 1, arError = -1 };
enum VSRequestPattern { rpGeneral = 0, rpNoFrameReuse = 1, rpStrictSpatial = 2 };
enum VSFilterMode { fmParallel = 0, fmParallelRequests = 1, fmUnordered = 2, fmFrameState = 3 };
enum VSMapAppendMode { maReplace = 0, maAppend = 1 };
enum VSMapPropertyError {
  peSuccess = 0,
  peUnset = 1,
  peType = 2,
  peError = 3,
  peIndex = 4,
};

// major << 16 | minor.
const int kVapourSynthApi40 = 0x40000;

struct VSVideoFormat {
  int colorFamily;     // VSColorFamily
  int sampleType;      // VSSampleType
  int bitsPerSample;
  int bytesPerSample;
  int subSamplingW;    // log2 of the chroma subsampling of planes 1 and 2
  int subSamplingH;
  int numPlanes;
};

struct VSVideoInfo {
  VSVideoFormat format;  // colorFamily 0: the format varies between frames
  int64_t fpsNum;
  int64_t fpsDen;
  int width;             // 0: the size varies between frames
  int height;
  int numFrames;
};

struct VSFilterDependency {
  VSNode* source;
  int requestPattern;  // VSRequestPattern
};

// Format identifier: colorFamily << 28 | sampleType << 24 | bits << 16 |
// subSamplingW << 8 | subSamplingH.
constexpr uint32_t VideoFormatId(int colorFamily, int sampleType, int bits, int ssW, int ssH) {
  return static_cast<uint32_t>(colorFamily) << 28 | static_cast<uint32_t>(sampleType) << 24 |
         static_cast<uint32_t>(bits) << 16 | static_cast<uint32_t>(ssW) << 8 |
         static_cast<uint32_t>(ssH);
}

struct VSAPI;

typedef const VSFrame* (*VSFilterGetFrame)(int n, int activationReason, void* instanceData,
                                           void** frameData, VSFrameContext* frameCtx,
                                           VSCore* core, const VSAPI* vsapi);
typedef void (*VSFilterFree)(void* instanceData, VSCore* core, const VSAPI* vsapi);
typedef void (*VSPublicFunction)(const VSMap* in, VSMap* out, void* userData, VSCore* core,
                                 const VSAPI* vsapi);

// Handed to the plug-in's entry; registration works only during that call.
struct VSPLUGINAPI {
  int (*getAPIVersion)();
  int (*configPlugin)(const char* identifier, const char* pluginNamespace, const char* name,
                      int pluginVersion, int apiVersion, int flags, VSPlugin* plugin);
  int (*registerFunction)(const char* name, const char* args, const char* returnType,
                          VSPublicFunction argsFunc, void* functionData, VSPlugin* plugin);
};

// The host's function table as of API 4.0: 106 slots of 8 bytes. Later
// versions only append.
struct VSAPI {
  /* 0 */ void (*createVideoFilter)(VSMap* out, const char* name, const VSVideoInfo* vi,
                                    VSFilterGetFrame getFrame, VSFilterFree free, int filterMode,
                                    const VSFilterDependency* dependencies, int numDeps,
                                    void* instanceData, VSCore* core);
  /* 1 */ VSNode* (*createVideoFilter2)(const char* name, const VSVideoInfo* vi,
                                        VSFilterGetFrame getFrame, VSFilterFree free,
                                        int filterMode, const VSFilterDependency* dependencies,
                                        int numDeps, void* instanceData, VSCore* core);
  /* 2-6 */ void* createAudioFilter;
  void* createAudioFilter2;
  void* setLinearFilter;
  void* setCacheMode;
  void* setCacheOptions;

  /* 7 */ void (*freeNode)(VSNode* node);
  /* 8 */ VSNode* (*addNodeRef)(VSNode* node);
  /* 9 */ int (*getNodeType)(VSNode* node);
  /* 10 */ const VSVideoInfo* (*getVideoInfo)(VSNode* node);
  /* 11 */ void* getAudioInfo;

  /* 12 */ VSFrame* (*newVideoFrame)(const VSVideoFormat* format, int width, int height,
                                     const VSFrame* propSrc, VSCore* core);
  /* 13 */ VSFrame* (*newVideoFrame2)(const VSVideoFormat* format, int width, int height,
                                      const VSFrame** planeSrc, const int* planes,
                                      const VSFrame* propSrc, VSCore* core);
  /* 14-15 */ void* newAudioFrame;
  void* newAudioFrame2;
  /* 16 */ void (*freeFrame)(const VSFrame* frame);
  /* 17 */ const VSFrame* (*addFrameRef)(const VSFrame* frame);
  /* 18 */ VSFrame* (*copyFrame)(const VSFrame* frame, VSCore* core);
  /* 19-20 */ void* getFramePropertiesRO;
  void* getFramePropertiesRW;

  /* 21 */ ptrdiff_t (*getStride)(const VSFrame* frame, int plane);
  /* 22 */ const uint8_t* (*getReadPtr)(const VSFrame* frame, int plane);
  /* 23 */ uint8_t* (*getWritePtr)(VSFrame* frame, int plane);
  /* 24 */ const VSVideoFormat* (*getVideoFrameFormat)(const VSFrame* frame);
  /* 25-26 */ void* getAudioFrameFormat;
  void* getFrameType;
  /* 27 */ int (*getFrameWidth)(const VSFrame* frame, int plane);
  /* 28 */ int (*getFrameHeight)(const VSFrame* frame, int plane);
  /* 29 */ void* getFrameLength;

  /* 30-35 */ void* getVideoFormatName;
  void* getAudioFormatName;
  void* queryVideoFormat;
  void* queryAudioFormat;
  void* queryVideoFormatID;
  void* getVideoFormatByID;

  /* 36-37 */ void* getFrame;
  void* getFrameAsync;
  /* 38 */ const VSFrame* (*getFrameFilter)(int n, VSNode* node, VSFrameContext* frameCtx);
  /* 39 */ void (*requestFrameFilter)(int n, VSNode* node, VSFrameContext* frameCtx);
  /* 40-41 */ void* releaseFrameEarly;
  void* cacheFrame;
  /* 42 */ void (*setFilterError)(const char* errorMessage, VSFrameContext* frameCtx);

  /* 43-50 */ void* createFunction;
  void* freeFunction;
  void* addFunctionRef;
  void* callFunction;
  void* createMap;
  void* freeMap;
  void* clearMap;
  void* copyMap;

  /* 51 */ void (*mapSetError)(VSMap* map, const char* errorMessage);
  /* 52 */ const char* (*mapGetError)(const VSMap* map);
  /* 53-55 */ void* mapNumKeys;
  void* mapGetKey;
  void* mapDeleteKey;
  /* 56 */ int (*mapNumElements)(const VSMap* map, const char* key);
  /* 57-58 */ void* mapGetType;
  void* mapSetEmpty;

  /* 59 */ int64_t (*mapGetInt)(const VSMap* map, const char* key, int index, int* error);
  /* 60 */ int (*mapGetIntSaturated)(const VSMap* map, const char* key, int index, int* error);
  /* 61 */ void* mapGetIntArray;
  /* 62 */ int (*mapSetInt)(VSMap* map, const char* key, int64_t i, int append);
  /* 63 */ void* mapSetIntArray;

  /* 64-72 */ void* mapGetFloat;
  void* mapGetFloatSaturated;
  void* mapGetFloatArray;
  void* mapSetFloat;
  void* mapSetFloatArray;
  void* mapGetData;
  void* mapGetDataSize;
  void* mapGetDataTypeHint;
  void* mapSetData;

  /* 73 */ VSNode* (*mapGetNode)(const VSMap* map, const char* key, int index, int* error);
  /* 74 */ int (*mapSetNode)(VSMap* map, const char* key, VSNode* node, int append);
  /* 75 */ int (*mapConsumeNode)(VSMap* map, const char* key, VSNode* node, int append);

  /* 76-81 */ void* mapGetFrame;
  void* mapSetFrame;
  void* mapConsumeFrame;
  void* mapGetFunction;
  void* mapSetFunction;
  void* mapConsumeFunction;

  /* 82-96 */ void* registerFunction;
  void* getPluginByID;
  void* getPluginByNamespace;
  void* getNextPlugin;
  void* getPluginName;
  void* getPluginID;
  void* getPluginNamespace;
  void* getNextPluginFunction;
  void* getPluginFunctionByName;
  void* getPluginFunctionName;
  void* getPluginFunctionArguments;
  void* getPluginFunctionReturnType;
  void* getPluginPath;
  void* getPluginVersion;
  void* invoke;

  /* 97-105 */ void* createCore;
  void* freeCore;
  void* setMaxCacheSize;
  void* setThreadCount;
  void* getCoreInfo;
  int (*getAPIVersion)();
  void* logMessage;
  void* addLogHandler;
  void* removeLogHandler;
};

// The entry the host looks up by name.
typedef void (*VSInitPlugin)(VSPlugin* plugin, const VSPLUGINAPI* vspapi);

}  // extern "C"

// --- Layout, pinned ---------------------------------------------------------------

static_assert(sizeof(VSVideoFormat) == 28);
static_assert(offsetof(VSVideoFormat, sampleType) == 4);
static_assert(offsetof(VSVideoFormat, bitsPerSample) == 8);
static_assert(offsetof(VSVideoFormat, bytesPerSample) == 12);
static_assert(offsetof(VSVideoFormat, subSamplingW) == 16);
static_assert(offsetof(VSVideoFormat, subSamplingH) == 20);
static_assert(offsetof(VSVideoFormat, numPlanes) == 24);

static_assert(sizeof(VSVideoInfo) == 64);
static_assert(offsetof(VSVideoInfo, fpsNum) == 32);
static_assert(offsetof(VSVideoInfo, fpsDen) == 40);
static_assert(offsetof(VSVideoInfo, width) == 48);
static_assert(offsetof(VSVideoInfo, height) == 52);
static_assert(offsetof(VSVideoInfo, numFrames) == 56);

static_assert(sizeof(VSFilterDependency) == 16);
static_assert(offsetof(VSFilterDependency, requestPattern) == 8);

static_assert(sizeof(VSPLUGINAPI) == 24);
static_assert(offsetof(VSPLUGINAPI, configPlugin) == 8);
static_assert(offsetof(VSPLUGINAPI, registerFunction) == 16);

#define VELMORAINE_VSAPI_SLOT(field, slot) static_assert(offsetof(VSAPI, field) == 8 * (slot), #field)
VELMORAINE_VSAPI_SLOT(createVideoFilter, 0);
VELMORAINE_VSAPI_SLOT(createVideoFilter2, 1);
VELMORAINE_VSAPI_SLOT(freeNode, 7);
VELMORAINE_VSAPI_SLOT(addNodeRef, 8);
VELMORAINE_VSAPI_SLOT(getVideoInfo, 10);
VELMORAINE_VSAPI_SLOT(newVideoFrame, 12);
VELMORAINE_VSAPI_SLOT(newVideoFrame2, 13);
VELMORAINE_VSAPI_SLOT(freeFrame, 16);
VELMORAINE_VSAPI_SLOT(addFrameRef, 17);
VELMORAINE_VSAPI_SLOT(copyFrame, 18);
VELMORAINE_VSAPI_SLOT(getStride, 21);
VELMORAINE_VSAPI_SLOT(getReadPtr, 22);
VELMORAINE_VSAPI_SLOT(getWritePtr, 23);
VELMORAINE_VSAPI_SLOT(getVideoFrameFormat, 24);
VELMORAINE_VSAPI_SLOT(getFrameWidth, 27);
VELMORAINE_VSAPI_SLOT(getFrameHeight, 28);
VELMORAINE_VSAPI_SLOT(getFrameFilter, 38);
VELMORAINE_VSAPI_SLOT(requestFrameFilter, 39);
VELMORAINE_VSAPI_SLOT(setFilterError, 42);
VELMORAINE_VSAPI_SLOT(mapSetError, 51);
VELMORAINE_VSAPI_SLOT(mapGetError, 52);
VELMORAINE_VSAPI_SLOT(mapNumElements, 56);
VELMORAINE_VSAPI_SLOT(mapGetInt, 59);
VELMORAINE_VSAPI_SLOT(mapGetIntSaturated, 60);
VELMORAINE_VSAPI_SLOT(mapSetInt, 62);
VELMORAINE_VSAPI_SLOT(mapGetNode, 73);
VELMORAINE_VSAPI_SLOT(mapSetNode, 74);
VELMORAINE_VSAPI_SLOT(mapConsumeNode, 75);
VELMORAINE_VSAPI_SLOT(getAPIVersion, 102);
#undef VELMORAINE_VSAPI_SLOT
static_assert(sizeof(VSAPI) == 848, "API 4.0 ends at slot 105");
