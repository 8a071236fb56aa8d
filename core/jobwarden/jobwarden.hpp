// Internal declarations shared by the files of the jobwarden module.
#pragma once

#include "rt.hpp"

#include <cmath>

namespace jobwarden {

using rt::Arg;
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

// o.<name>, with the name interned once for the module.
#define ATTR(o, name) RT_ATTR(o, name)
// The pool's containers (_workers, _results, _callbacks, _lock): bound once
// by __init__ and rarely rebound, so read through a kept-value site.
#define POOL_ATTR(self, name) RT_KEPT_ATTR(self, name)

// WorkerStatus.<member>, looked up through the module's globals; `member`
// is the member's interned name.
Ref worker_status(PyObject* member);
#define WORKER_STATUS(member) ::jobwarden::worker_status(RT_NAME(member))
// status == WorkerStatus.<member>
bool status_is(PyObject* status, PyObject* member);

// A float NaN (a time-out that would never expire).
inline bool is_nan(PyObject* v) { return PyFloat_Check(v) && std::isnan(PyFloat_AS_DOUBLE(v)); }

// SubprocessResult(task_id, status, output, error, duration, pid).
Ref make_result(PyObject* task_id, const Ref& status, const Ref& output, const Ref& error, double duration,
                const Ref& pid);

}  // namespace jobwarden
