// Per-module state: the constant strings (interned when the module
// executes), the keyword-name tuples of the calls the module makes, and the
// runtime's types, all owned by the module object.
//
// Constant strings are listed once in strings.inc and reached by index:
// RT_NAME("text") is resolved at compile time (a string missing from the
// list is a compile error), so at run time it is one load from the state,
// with no look-up and no string built.  Keyword-name tuples work the same
// way through kwnames.inc and RT_KW("a,b").
//
// The state of the module whose code is running is reached through
// rt::state(); every entry from Python into native code (a native function
// call, a step of a native coroutine, a module's execution) makes its own
// module's state the current one for its duration (StateScope).
#pragma once

#include "ref.hpp"

#include <cstddef>
#include <iterator>
#include <string_view>
#include <type_traits>

namespace rt {

inline constexpr std::string_view kStrings[] = {
#include "strings.inc"
};
inline constexpr size_t kStringCount = std::size(kStrings);

inline constexpr std::string_view kKwSets[] = {
#include "kwnames.inc"
};
inline constexpr size_t kKwSetCount = std::size(kKwSets);

consteval size_t string_index(std::string_view s) {
    for (size_t i = 0; i < kStringCount; ++i) {
        if (kStrings[i] == s) return i;
    }
    throw "constant string missing from runtime/strings.inc";
}

consteval size_t kwset_index(std::string_view s) {
    for (size_t i = 0; i < kKwSetCount; ++i) {
        if (kKwSets[i] == s) return i;
    }
    throw "keyword names missing from runtime/kwnames.inc";
}

// Standard-library functions a module may stand in for natively.  The
// module keeps each as it found it when it executed (keep_original); a fast
// path replaces a call only while the object the code would call is still
// that one, so a patched function is always called.
enum class Original : unsigned char {
    uuid4,        // uuid.uuid4
    urandom,      // os.urandom
    iscoroutine,  // asyncio.iscoroutine
    count
};
inline constexpr size_t kOriginalCount = static_cast<size_t>(Original::count);

struct State {
    PyObject* module;             // borrowed: the state lives inside it
    PyObject* dict;               // the module's globals (borrowed)
    PyTypeObject* func_type;      // owned
    PyTypeObject* coro_type;      // owned
    PyTypeObject* property_type;  // owned
    PyObject* stop_iteration[3];  // owned: the StopIterations reused by native coroutines (any value, False, True)
    PyObject* logger_type;        // owned: logging.Logger as the module found it
    PyObject* originals[kOriginalCount];  // owned; null unless kept
    // What log_wanted() found for the standard levels (bit level / 10 of
    // `log_known`, answer in `log_on`), for the logger `log_logger`
    // (borrowed from the globals), valid while the watched dicts are as they
    // were at `log_gen` (see watched_generation()).
    PyObject* log_logger;
    unsigned char log_known, log_on;
    unsigned log_gen;
    PyObject* coro_free[16];      // memory of finished coroutine objects, kept for reuse
    unsigned coro_free_count;
    PyObject* strings[kStringCount];  // owned, interned
    PyObject* kwnames[kKwSetCount];   // owned tuples of interned strings
};

namespace detail {
inline State* current = nullptr;
// Borrowed: the function object (and so its qualified name) outlives the
// call or step that set it.  Constant-initialised, so reading it needs no
// guard or wrapper call.
[[gnu::tls_model("initial-exec")]] inline constinit thread_local PyObject* running = nullptr;
}  // namespace detail

// The state of the module whose code is running.
inline State& state() noexcept { return *detail::current; }

// The qualified name of the native function (or coroutine) whose code is
// running on this thread, borrowed; null outside native code.  Log records
// name it as their function.
inline PyObject* running_qualname() noexcept { return detail::running; }

// Entering native code: makes `s` the current state and, when given,
// `qualname` the running native function, until the end of the scope.
class StateScope {
public:
    explicit StateScope(State* s, PyObject* qualname = nullptr) noexcept
        : saved_(detail::current), saved_running_(detail::running) {
        detail::current = s;
        if (qualname) detail::running = qualname;
    }
    ~StateScope() {
        detail::current = saved_;
        detail::running = saved_running_;
    }
    StateScope(const StateScope&) = delete;
    StateScope& operator=(const StateScope&) = delete;

private:
    State* saved_;
    PyObject* saved_running_;
};

// Fill a fresh state (zeroed by the interpreter) for `module`.
void init_state(State& s, PyObject* module);
// Watched dicts.  One dict watcher serves every module state of this
// extension: any change to a dict it watches moves a generation count on,
// and what was read from watched dicts is reused while the count stays.
// Modules use it only for dicts that change rarely (module globals,
// sys.modules, a logger's own dict).
void start_watching(State& s);
void stop_watching(State& s) noexcept;
namespace detail {
inline unsigned watch_gen = 1;  // never 0, so a zeroed memory is never current
}
inline unsigned watched_generation() noexcept { return detail::watch_gen; }
// Watch `dict` (an exact dict); false when it cannot be (no watcher).
bool watch(PyObject* dict) noexcept;
int traverse_state(State& s, visitproc visit, void* arg);
void clear_state(State& s);

}  // namespace rt

// The interned str of a constant string (borrowed from the module state).
#define RT_NAME(s) (::rt::state().strings[std::integral_constant<size_t, ::rt::string_index(s)>::value])
// The keyword-names tuple "a,b" -> ("a", "b") (borrowed from the module state).
#define RT_KW(s) (::rt::state().kwnames[std::integral_constant<size_t, ::rt::kwset_index(s)>::value])
