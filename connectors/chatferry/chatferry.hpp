// Internal declarations shared by the files of the chatferry module.
//
// The class `Chatferry` is an ordinary Python class made at import time; its
// methods are native functions declared here and defined one concern per
// file.  Bridge state lives in instance attributes (`_running`,
// `_processing`, `_queue`, `_worker_task`) that the code reads and writes
// through the object, and calls between methods go through the object too,
// so patches on an instance or on the class take effect.
//
// Awaitables made by rt::call_kw are built in a statement of their own and
// awaited in the next: GCC 12 rejects braced initializer lists inside a
// co_await expression ("array used as initializer").
#pragma once

#include "rt.hpp"

namespace chatferry {

using rt::Arg;
using rt::Args;
using rt::Check;
using rt::Co;
using rt::Param;
using rt::Ref;

// The dotted name the logger is registered under.
inline constexpr const char* kLoggerName = "tovana.connectors.chatferry";

// Parameter lists shared by the methods: (self) and (self, text, metadata).
inline const Param kSelfOnly[] = {{"self"}};
inline const Param kMessageParams[] = {
    {"self"},
    {"text", "str", Check::Str},
    {"metadata", "dict[str, Any]", Check::Dict},
};

// bridge.cpp: construction, host look-ups and the two senders.
extern const rt::FuncDef init_def;
extern const rt::FuncDef get_telegram_def;
extern const rt::FuncDef get_agent_def;
extern const rt::FuncDef send_reply_def;
extern const rt::FuncDef send_screenshot_def;

// routing.cpp: one message through the agent.
extern const rt::FuncDef handle_message_def;

// lifecycle.cpp: start/stop, the queue and its worker, the singleton.
extern const rt::FuncDef start_def;
extern const rt::FuncDef stop_def;
extern const rt::FuncDef is_running_def;
extern const rt::FuncDef on_telegram_message_def;
extern const rt::FuncDef process_queue_def;
extern const rt::FuncDef get_chatferry_def;

// `from <module> import <name>`, absolute, at the time of the call: the
// module comes from sys.modules when it is already imported.  A missing
// name fails with the ImportError the import statement would raise.
// Both names are interned strings (RT_NAME); the sites are the call
// site's own, for sys.modules and for the module's dictionary.
Ref import_name(PyObject* module, PyObject* name, rt::WatchedSite& in_modules, rt::WatchedSite& in_module);
#define IMPORT_NAME(module, name) ::chatferry::import_name(RT_NAME(module), RT_NAME(name), RT_WATCHED, RT_WATCHED)

// `a == text` by Python's rules, as a truth value; `text` is an interned
// constant string (RT_NAME), compared without making any object.
bool equals(PyObject* a, PyObject* text);

// The Python exception behind a failed Outcome when it is an ordinary one
// (an Exception subclass); otherwise the failure is rethrown.
template <class T>
Ref ordinary_error(const rt::Outcome<T>& out) {
    Ref e = rt::python_error(out);
    if (!e || !PyErr_GivenExceptionMatches(e.get(), PyExc_Exception)) std::rethrow_exception(out.error);
    return e;
}

}  // namespace chatferry
