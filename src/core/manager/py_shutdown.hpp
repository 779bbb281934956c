// Owns the module functions shutdown_all, block_all and block_until.
#pragma once

#include <Python.h>

namespace kestro::core {

extern PyMethodDef shutdown_all_def;
extern PyMethodDef block_all_def;
extern PyMethodDef block_until_def;

}  // namespace kestro::core
