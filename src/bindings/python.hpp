// The interpreter's header, always through the stable ABI at the 3.12 level.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030C0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
