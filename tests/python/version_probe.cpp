// Linked into a test-only build of zelnor_core with -Wl,--wrap=Py_GetVersion: the import check
// then sees the version that ZELNOR_FAKE_PYTHON_VERSION names, if it is set.
#include <cstdlib>

extern "C" const char* __real_Py_GetVersion();

extern "C" const char* __wrap_Py_GetVersion() {
  const char* fake = std::getenv("ZELNOR_FAKE_PYTHON_VERSION");
  return fake != nullptr ? fake : __real_Py_GetVersion();
}
