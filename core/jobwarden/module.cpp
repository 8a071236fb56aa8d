// The jobwarden module: a pool of worker subprocesses that speak one JSON
// line each way.  Module execution imports the standard modules the code
// uses (looked up in the module's globals at the time of use, so they can
// be patched), creates the logger, then the classes.
#include "jobwarden.hpp"

namespace jobwarden {
namespace {

constexpr const char* kModuleDoc =
    "Worker subprocess pool: runs each task in its own worker process that\n"
    "speaks one JSON line each way over the child's pipes, with time-outs, a\n"
    "limit on running workers, kept results, cancellation, cleanup and result\n"
    "callbacks.\n";

void exec(PyObject*) {
    rt::set_global("__doc__", rt::str(kModuleDoc));
    for (const char* name : {"asyncio", "json", "logging", "os", "shutil", "sys", "tempfile", "time", "uuid",
                             "dataclasses", "enum"}) {
        rt::import_global(name);
    }
    rt::import_from("pathlib", "Path");
    rt::import_from("typing", "Any");
    rt::import_from("typing", "Callable");
    for (rt::Original f : {rt::Original::uuid4, rt::Original::urandom, rt::Original::iscoroutine}) rt::keep_original(f);
    Ref logging = RT_GLOBAL("logging");
    rt::set_global("logger", RT_CALL_MODULE_ATTR(logging.get(), "getLogger", "tovana.subprocess"));
    define_records();
    define_worker_process();
    define_pool();
}

}  // namespace
}  // namespace jobwarden

RT_MODULE(jobwarden, jobwarden::exec)
