// The functions of quillfen_tools._native, one group per file, each declared with the engine's parameter tables
// (bindings/entry.hpp: defaults from the core option records) and returning records (records.hpp). module.cpp
// lists the groups. Each follows the engine's boundary conventions: arguments parsed with the lock held, the work
// done with the interpreter lock released (bindings/boundary.hpp), CompareErrors raised as ValueError.
#pragma once

#include <span>

#include "bindings/entry.hpp"

namespace qf::tools {

std::span<const py::Entry> image_functions();   // images.cpp
std::span<const py::Entry> layout_functions();  // layout.cpp
std::span<const py::Entry> pool_functions();    // pool.cpp
std::span<const py::Entry> verdict_functions();  // verdict.cpp
std::span<const py::Entry> classify_functions();  // classify.cpp

}  // namespace qf::tools
