// The one place that includes the CPython headers. The module is built
// against the stable ABI of CPython 3.11, so only the limited API is visible.
#pragma once

#ifndef Py_LIMITED_API
#error "the module must be built against the limited API (Py_LIMITED_API)"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>
