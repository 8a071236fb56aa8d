#include "rt.hpp"

namespace {
void exec(PyObject*) {}
}  // namespace

RT_MODULE(jobwarden, exec)
