// Process-wide state the engine module shares (both modules are one library): the worker pool, the buffer pool
// and the processor features the kernels were picked for.
#include <memory>

#include "bindings/params.hpp"
#include "bindings/pytype.hpp"
#include "core/buffer_pool.hpp"
#include "core/cpu.hpp"
#include "core/parallel.hpp"
#include "tools_native/functions.hpp"
#include "tools_native/records.hpp"

namespace qf::tools {
namespace {

// The limit in force, kept alive for as long as it holds. Only touched with the interpreter lock held.
std::unique_ptr<par::ThreadLimit> limit;

struct ThreadsArgs {
  std::optional<uint64_t> n;
};
constexpr auto n = QF_REQUIRED(ThreadsArgs, n);

PyObject* set_threads(PyObject*, ThreadsArgs& a) {
  limit.reset();
  if (a.n.value_or(0) > 0) limit = std::make_unique<par::ThreadLimit>(static_cast<std::size_t>(*a.n));
  Py_RETURN_NONE;
}

PyObject* max_threads(PyObject*, py::NoArgs&) { return PyLong_FromSize_t(par::max_threads()); }

const RecordType POOL_STATS{
    "PoolStats",
    "The process-wide buffer pool: the blocks it keeps for reuse and their bytes, and how often a request\n"
    "found a kept block of its size (hits) or not (misses).",
    {"blocks", "bytes", "hits", "misses"}};

PyObject* pool_stats(PyObject*, py::NoArgs&) {
  const buffer_pool::Stats s = buffer_pool::stats();
  return POOL_STATS.make({py::to_py(s.blocks), py::to_py(s.bytes), py::to_py(s.hits), py::to_py(s.misses)});
}

const RecordType CPU_FEATURES{
    "CpuFeatures",
    "The instruction sets whose kernels this process uses; all false when QUILLFEN_SCALAR=1 was set at load,\n"
    "which forces the scalar kernels.",
    {"sse2", "ssse3", "avx2"}};

PyObject* cpu_features(PyObject*, py::NoArgs&) {
  const cpu::Features& f = cpu::features();
  return CPU_FEATURES.make({py::to_py_bool(f.sse2), py::to_py_bool(f.ssse3), py::to_py_bool(f.avx2)});
}

const py::Entry entries[] = {
    py::function<"set_threads", set_threads, n>(
        "Cap the process-wide worker pool (shared with the quillfen module) at n threads; None or 0 restores\n"
        "the default."),
    py::function<"max_threads", max_threads>("The number of threads the worker pool may use now."),
    py::function<"pool_stats", pool_stats>(
        "The process-wide buffer pool, shared with the quillfen module, as a PoolStats record."),
    py::function<"cpu_features", cpu_features>("The processor features the kernels use, as a CpuFeatures record."),
};

}  // namespace

std::span<const py::Entry> pool_functions() { return entries; }

}  // namespace qf::tools
