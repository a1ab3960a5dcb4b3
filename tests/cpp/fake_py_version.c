/* Preloaded into the interpreter to make the extension see another Python
   version string from Py_GetVersion (read from MBGAUGE_FAKE_PY_VERSION). */
#include <stdlib.h>

const char *Py_GetVersion(void) {
    const char *fake = getenv("MBGAUGE_FAKE_PY_VERSION");
    return fake ? fake : "3.13.0";
}
