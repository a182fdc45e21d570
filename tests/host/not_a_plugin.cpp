// A shared library that a host must refuse: it has no plug-in entry point.
extern "C" int NotAnEntryPoint() { return 42; }
