// Private declarations shared by the frame's sources: per-module state, message texts, function objects, traceback entries.
#pragma once

#include "zemvara/frame.hpp"

namespace zv {

// Every message the frame raises or warns with, in one place.
namespace msg {
inline constexpr char interpreter_change[] =
    "Interpreter change detected - this module can only be loaded into one interpreter per process.";
inline constexpr char reinitialisation[] =
    "Module '%s' has already been imported. Re-initialisation is not supported.";
inline constexpr char version_mismatch[] =
    "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d";
inline constexpr char cannot_import[] = "cannot import name %S";
inline constexpr char not_defined[] = "name '%U' is not defined";
inline constexpr char arg_count[] = "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
inline constexpr char unexpected_keyword[] = "%s() got an unexpected keyword argument '%U'";
inline constexpr char multiple_values[] = "%s() got multiple values for keyword argument '%U'";
inline constexpr char keywords_not_strings[] = "%.200s() keywords must be strings";
inline constexpr char arg_type[] = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%U";
inline constexpr char subclass_note[] =
    "Note that arguments annotated with a built-in type are checked strictly: instances of "
    "subclasses, such as bool for int, are rejected (stricter than PEP 484).";
inline constexpr char too_many_values[] = "too many values to unpack (expected %zd)";
inline constexpr char need_more_values[] = "need more than %zd value%.1s to unpack";
inline constexpr char expected_type[] = "Expected %s, got %.200s";
inline constexpr char recursion_where[] = " while calling a Python object";
inline constexpr char must_be_string[] = "%s must be set to a string object";
inline constexpr char must_be_tuple[] = "__defaults__ must be set to a tuple object";
inline constexpr char must_be_dict[] = "%s must be set to a dict object";
inline constexpr char dict_deleted[] = "function's dictionary may not be deleted";
inline constexpr char dict_not_dict[] = "setting function's dictionary to a non-dict";
inline constexpr char defaults_ignored[] =
    "%s of %U() is stored but not used: calls keep the defaults fixed when the module was imported";
inline constexpr char cleared[] = "%s() was cleared by the garbage collector";
}  // namespace msg

namespace detail {

// The state of the one module that this shared library defines.
struct ModuleState {
  const ModuleSpec* spec = nullptr;
  PyObject* created = nullptr;   // made by the create step, returned again by later creates
  PyObject* module = nullptr;    // kept by the exec step: the body has run (or runs) for it
  PyObject* builtins = nullptr;  // the builtins module
  PyObject* dotted = nullptr;    // the full dotted name, str
  PyObject* init_name = nullptr; // "init <dotted name>", for traceback entries of the body
  PyObject* empty_tuple = nullptr;
  PyObject* empty_bytes = nullptr;
  PyObject* empty_str = nullptr;
};
extern ModuleState state;

// Forgets every memoised global and every builtin taken at initialisation.
void reset_names() noexcept;

// Adds the traceback entry "<name>" at `line` (file: the module's source
// path, frame globals: `globals`) to the pending exception.
void add_traceback(PyObject* name, int line, PyObject* globals) noexcept;

// Inside a catch block at a boundary: makes the exception being handled a
// pending Python exception. zv::Error already has one; a C++ exception of our
// own becomes MemoryError or RuntimeError; anything else is a SystemError
// naming `where` ("function", "module body").
void set_error_from_current_exception(const char* where) noexcept;

// Creates a function object. `qualname` is the plain name or "Class.method";
// the defaults are evaluated now, module globals read from `globals`.
Object new_function(const FunctionSpec& spec, Handle qualname, Handle globals);
void ready_function_type();

PyTypeObject* check_type(Check c) noexcept;
Object type_name(PyTypeObject* t);  // the type's __name__

// A call that adds " while calling a Python object" to RecursionError when
// the callee is not Python code (which checks its own depth).
PyObject* guarded_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                             PyObject* kwnames) noexcept;

}  // namespace detail
}  // namespace zv
