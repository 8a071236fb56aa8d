// Internal declarations shared by the files of the jobwarden module.
#pragma once

#include "rt.hpp"

namespace jobwarden {

using rt::Args;
using rt::Check;
using rt::Co;
using rt::Param;
using rt::Ref;

// Class builders, called in this order by the module's exec function.  Each
// stores its class as a module global.
void define_records();         // WorkerStatus, TaskPriority, SubprocessTask, SubprocessResult
void define_worker_process();  // WorkerProcess
void define_pool();            // Jobwarden (spawning and the queries)

// Methods of Jobwarden defined in queries.cpp (batches, listings,
// cancellation and cleanup).
void add_pool_queries(rt::ClassBuilder& cls);

// o.<name>
inline Ref attr(PyObject* o, const char* name) { return rt::getattr(o, name); }

// WorkerStatus.<member>, looked up through the module's globals.
Ref worker_status(const char* member);
// status == WorkerStatus.<member>
bool status_is(PyObject* status, const char* member);

// SubprocessResult(task_id, status, output, error, duration, pid).
Ref make_result(PyObject* task_id, const Ref& status, const Ref& output, const Ref& error, double duration,
                const Ref& pid);

}  // namespace jobwarden
