// The module surface: docstring, standard-library globals, the logger, the
// class `Chatferry`, the singleton slot and its accessor, set in that order.
// Also the small helpers the other files share.
#include "chatferry.hpp"

namespace chatferry {

namespace {

const char* const kModuleDoc =
    "Telegram \u2194 Agent bridge \u2014 makes Telegram a full two-way interface to Tovana.\n"
    "\n"
    "Flow:\n"
    "  1. User sends message to the Telegram bot\n"
    "  2. Polling loop in TelegramConnector picks it up\n"
    "  3. This bridge receives it via the on_message callback\n"
    "  4. Sends an immediate \"thinking...\" indicator to Telegram\n"
    "  5. Routes it through the Standard Agent (same as WebSocket chat)\n"
    "  6. Collects the agent's text response events\n"
    "  7. Sends the response back to the user via Telegram\n"
    "  8. Also broadcasts events to WebSocket so the UI stays in sync\n"
    "  9. Screenshots and files generated during processing are sent as photos/docs\n"
    "\n"
    "The bridge processes messages sequentially via a queue to prevent\n"
    "concurrent agent calls from interfering with each other.\n";

const char* const kClassDoc = "Routes Telegram messages through the Tovana agent and sends responses back.";

void exec(PyObject*) {
    rt::set_global("__doc__", rt::str(kModuleDoc));
    rt::import_global("asyncio");
    rt::import_global("base64");
    rt::import_global("logging");
    rt::import_global("tempfile");
    rt::import_from("pathlib", "Path");
    rt::import_from("typing", "Any");
    Ref logging = RT_GLOBAL("logging");
    rt::set_global("logger", RT_CALL_MODULE_ATTR(logging.get(), "getLogger", kLoggerName));

    rt::ClassBuilder cls("Chatferry", kClassDoc);
    cls.method(init_def)
        .method(start_def)
        .method(stop_def)
        .property(is_running_def)
        .method(get_telegram_def)
        .method(get_agent_def)
        .method(on_telegram_message_def)
        .method(process_queue_def)
        .method(handle_message_def)
        .method(send_reply_def)
        .method(send_screenshot_def);
    rt::set_global("Chatferry", cls.build());
    rt::set_global("_bridge", rt::none());
    rt::set_global("get_chatferry", rt::function(get_chatferry_def));
}

}  // namespace

Ref import_name(PyObject* module, PyObject* name, rt::WatchedSite& in_modules, rt::WatchedSite& in_module) {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed: the interpreter's sys.modules
    PyObject* found = PyDict_CheckExact(modules) ? rt::dict_find(modules, module, in_modules) : nullptr;
    Ref m = found && found != Py_None ? Ref::borrow(found) : rt::check(PyImport_Import(module));
    // A plain module's attribute is its dictionary's entry (the module's
    // __getattr__, if any, only answers for missing names).
    if (PyModule_CheckExact(m.get())) {
        if (PyObject* v = rt::dict_find(PyModule_GetDict(m.get()), name, in_module)) return Ref::borrow(v);
    }
    Ref value = rt::getattr_opt(m.get(), name);
    if (value) return value;
    // What `from module import name` reports for a missing name.
    Ref file = rt::getattr_opt(m.get(), RT_NAME("__file__"));
    Ref where = file && PyUnicode_Check(file.get()) ? file : Ref::borrow(RT_NAME("unknown location"));
    Ref message = rt::format("cannot import name '%U' from '%U' (%U)", name, module, where.get());
    PyErr_SetImportError(message.get(), module, file ? file.get() : nullptr);
    rt::throw_pending();
}

bool equals(PyObject* a, PyObject* text) {
    if (a == text) return true;
    if (PyUnicode_CheckExact(a)) {
        return PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(text) && PyUnicode_Compare(a, text) == 0;
    }
    Ref result = rt::check(PyObject_RichCompare(a, text, Py_EQ));
    return rt::truthy(result.get());
}

}  // namespace chatferry

RT_MODULE(chatferry, chatferry::exec)
