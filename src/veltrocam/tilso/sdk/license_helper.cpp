// The native module `veltrocam.tilso.sdk.license_helper`.
//
// It behaves as this Python source would, and reports failures at these
// line numbers of it (the definitions' docstrings are the functions' own):
//
//    1  __test__ = {}                      # runs last, after line 27
//    6  import os
//    7  import re
//    8  import sys
//   10  import click
//   11  from veltrocam.tilso.sdk.script_update import update_bash_file
//
//   15  def get_license_info(license_name="VELTROCAM_LICENSE"):
//   17      license = os.environ.get(license_name)
//   18      if license:
//   19          user = license[:license.find(":")]
//   20          pw = license[license.find(":") + 1:]
//   21          return user, pw
//   22      else:
//   23          click.echo("当前环境未配置用户名和密码")
//   24          return None, None
//
//   27  def set_to_environ(variables, value):
//   32      var_name = "veltrocam license" if variables == "VELTROCAM_LICENSE" else variables
//   38      if not isinstance(variables, list): variables = [variables]
//   39      if sys.platform.startswith("win"):
//   40          for variable_name in variables:
//   41              os.popen("setx {variable_name} \"{value}\" ".format(variable_name=variable_name, value=value))
//   42      else:
//   43          update_bash_file(variables, value)
//   45      for variable_name in variables:
//   46          os.environ[variable_name] = value
//   47      click.echo("当前 {var_name} 已设置为 {value}".format(var_name=var_name, value=value))
//   48      click.echo("请重启当前的 terminal ")
//
// Two departures from that listing keep users safe.  A credentials value
// without a colon (its `find(":")` equal to -1) is reported (line 19)
// instead of being split into a user name that lost its last character.
// On Windows the names are walked once (line 40) and every name and the
// value are checked (line 41) before the first command is started, since
// the command text goes to the command shell; a value longer than the 1024
// characters that setx keeps is refused rather than stored cut.

#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>
#include <type_traits>

#include "runtime/binding.h"
#include "runtime/calls.h"
#include "runtime/compat.h"
#include "runtime/context.h"
#include "runtime/environ.h"
#include "runtime/function.h"
#include "runtime/operations.h"
#include "runtime/per_thread.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"

namespace license_helper {
namespace {

using runtime::Ref;

constexpr const char kSourcePath[] = "veltrocam\\tilso\\sdk\\license_helper";
constexpr const char kFullName[] = "veltrocam.tilso.sdk.license_helper";
constexpr const char kInitName[] = "init veltrocam.tilso.sdk.license_helper";
constexpr const char kGetLicenseInfoName[] = "veltrocam.tilso.sdk.license_helper.get_license_info";
constexpr const char kSetToEnvironName[] = "veltrocam.tilso.sdk.license_helper.set_to_environ";

// ---------------------------------------------------------------------------
// Module state and constant table.

/// The strings of the constant table, in table order.
enum Str : int {
    kColon,
    kDefaultVariable,    // "VELTROCAM_LICENSE"
    kNoticeUnset,
    kDot,
    kAsyncioCoroutines,
    kClick,
    kDisplayName,        // "veltrocam license"
    kSourcePathStr,
    kModuleName,
    kScriptUpdate,
    kEcho,
    kEnviron,
    kFind,
    kFormat,
    kGet,
    kGetLicenseInfo,
    kInitializing,
    kIsCoroutine,
    kLicense,
    kLicenseName,
    kOs,
    kPlatform,
    kPopen,
    kPw,
    kRe,
    kSetToEnviron,
    kSetxTemplate,
    kSpec,
    kStartswith,
    kSys,
    kNoticeRestart,
    kTest,
    kUpdateBashFile,
    kUser,
    kValue,
    kVarName,
    kNoticeSet,
    kVariableName,
    kVariables,
    kWin,
    kStringCount
};

/// Every object the module's code works with.  One static record for the
/// process: filled by the exec step, read in place afterwards.  Every member
/// is an owned reference.
struct ModuleState {
    runtime::Context rt;                  // module dict, builtins, (), b"", function type
    PyObject *strings[kStringCount];      // the constant table's strings
    PyObject *one;                        // 1
    PyObject *none_pair;                  // (None, None)
    PyObject *get_license_info_varnames;  // ("license_name", "license", "user", "pw")
    PyObject *get_license_info_defaults;  // ("VELTROCAM_LICENSE",)
    PyObject *set_to_environ_varnames;    // ("variables", "value", "var_name", "variable_name")
    PyObject *get_license_info_code;
    PyObject *set_to_environ_code;
    PyObject *notice_malformed;           // the notice for a value without a colon
};

static_assert(std::is_standard_layout_v<ModuleState>);
static_assert(offsetof(ModuleState, strings) == 5 * sizeof(PyObject *));
static_assert(offsetof(ModuleState, one) == 45 * sizeof(PyObject *));
static_assert(offsetof(ModuleState, set_to_environ_code) == 51 * sizeof(PyObject *));
static_assert(sizeof(ModuleState) == 53 * sizeof(PyObject *));

ModuleState state;

inline PyObject *S(Str s) noexcept
{
    return state.strings[s];
}

/// One row of the constant table.
struct StringEntry {
    PyObject **target;
    const char *text;
    Py_ssize_t length;  // bytes of text, terminator included
    const char *encoding;
    char is_literal;
    char is_identifier;
    char intern;
};

static_assert(std::is_standard_layout_v<StringEntry>);
static_assert(offsetof(StringEntry, is_literal) == 4 * sizeof(void *));

template <std::size_t N>
constexpr StringEntry name(Str row, const char (&text)[N]) noexcept
{
    return {&state.strings[row], text, N, nullptr, 0, 1, 1};
}

template <std::size_t N>
constexpr StringEntry literal(PyObject **target, const char (&text)[N], bool intern) noexcept
{
    return {target, text, N, nullptr, 1, 0, static_cast<char>(intern)};
}

constexpr StringEntry constant_table[] = {
    literal(&state.strings[kColon], ":", false),
    literal(&state.strings[kDefaultVariable], "VELTROCAM_LICENSE", true),
    literal(&state.strings[kNoticeUnset], "当前环境未配置用户名和密码", true),
    literal(&state.strings[kDot], ".", false),
    name(kAsyncioCoroutines, "asyncio.coroutines"),
    name(kClick, "click"),
    literal(&state.strings[kDisplayName], "veltrocam license", false),
    literal(&state.strings[kSourcePathStr], kSourcePath, false),
    name(kModuleName, "veltrocam.tilso.sdk.license_helper"),
    name(kScriptUpdate, "veltrocam.tilso.sdk.script_update"),
    name(kEcho, "echo"),
    name(kEnviron, "environ"),
    name(kFind, "find"),
    name(kFormat, "format"),
    name(kGet, "get"),
    name(kGetLicenseInfo, "get_license_info"),
    name(kInitializing, "_initializing"),
    name(kIsCoroutine, "_is_coroutine"),
    name(kLicense, "license"),
    name(kLicenseName, "license_name"),
    name(kOs, "os"),
    name(kPlatform, "platform"),
    name(kPopen, "popen"),
    name(kPw, "pw"),
    name(kRe, "re"),
    name(kSetToEnviron, "set_to_environ"),
    literal(&state.strings[kSetxTemplate], "setx {variable_name} \"{value}\" ", false),
    name(kSpec, "__spec__"),
    name(kStartswith, "startswith"),
    name(kSys, "sys"),
    literal(&state.strings[kNoticeRestart], "请重启当前的 terminal ", false),
    name(kTest, "__test__"),
    name(kUpdateBashFile, "update_bash_file"),
    name(kUser, "user"),
    name(kValue, "value"),
    name(kVarName, "var_name"),
    literal(&state.strings[kNoticeSet], "当前 {var_name} 已设置为 {value}", false),
    name(kVariableName, "variable_name"),
    name(kVariables, "variables"),
    name(kWin, "win"),
    literal(&state.notice_malformed, "当前环境变量 {license_name} 的格式不正确，应为 用户名:密码",
            false),
    {nullptr, nullptr, 0, nullptr, 0, 0, 0},
};

/// Makes every string of the table; 0, or -1 with the exception set.
int build_constant_table() noexcept
{
    for (const StringEntry *entry = constant_table; entry->target != nullptr; entry++) {
        PyObject *object;
        if (entry->is_literal || entry->is_identifier) {
            if (entry->intern)
                object = PyUnicode_InternFromString(entry->text);
            else if (entry->encoding != nullptr)
                object = PyUnicode_Decode(entry->text, entry->length - 1, entry->encoding, nullptr);
            else
                object = PyUnicode_FromStringAndSize(entry->text, entry->length - 1);
        } else {
            object = PyBytes_FromStringAndSize(entry->text, entry->length - 1);
        }
        if (object == nullptr)
            return -1;
        Py_XSETREF(*entry->target, object);
        if (PyObject_Hash(object) == -1)
            return -1;
    }
    return 0;
}

/// A code object that serves introspection only: no instructions.
PyObject *make_code(int argcount, PyObject *varnames, PyObject *name, int first_line) noexcept
{
    Ref exception_table(PyBytes_FromStringAndSize(nullptr, 0));
    if (!exception_table)
        return nullptr;
    PyObject *empty_tuple = state.rt.empty_tuple;
    return reinterpret_cast<PyObject *>(runtime::compat::code_new(
        argcount, 0, 0, 4, 0, CO_OPTIMIZED | CO_NEWLOCALS, state.rt.empty_bytes, empty_tuple,
        empty_tuple, varnames, empty_tuple, empty_tuple, S(kSourcePathStr), name, name,
        first_line, state.rt.empty_bytes, exception_table.get()));
}

/// Releases every member; a later exec step makes them again.
void release_state() noexcept
{
    Py_CLEAR(state.rt.module_dict);
    Py_CLEAR(state.rt.builtins);
    Py_CLEAR(state.rt.empty_tuple);
    Py_CLEAR(state.rt.empty_bytes);
    Py_CLEAR(state.rt.function_type);
    for (PyObject *&string : state.strings)
        Py_CLEAR(string);
    Py_CLEAR(state.one);
    Py_CLEAR(state.none_pair);
    Py_CLEAR(state.get_license_info_varnames);
    Py_CLEAR(state.get_license_info_defaults);
    Py_CLEAR(state.set_to_environ_varnames);
    Py_CLEAR(state.get_license_info_code);
    Py_CLEAR(state.set_to_environ_code);
    Py_CLEAR(state.notice_malformed);
}

/// Adds the traceback entry for `line` of `function` and returns null.
PyObject *fail(const char *function, int line) noexcept
{
    runtime::add_traceback(state.rt, function, line, kSourcePath);
    return nullptr;
}

// ---------------------------------------------------------------------------
// Helpers of the function bodies.

/// `module_global.attribute_name`, the global read through its site's cache.
[[gnu::always_inline]] inline PyObject *global_attribute(Str global, runtime::GlobalCache &cache,
                                                          Str attribute_name) noexcept
{
    return runtime::global_attribute(state.rt, S(global), cache, S(attribute_name));
}

/// `text.format(name=value, ...)`, keywords in the order given.
PyObject *format(PyObject *text, std::initializer_list<runtime::Keyword> keywords) noexcept
{
    return runtime::call_method_with_keywords(state.rt, text, S(kFormat), keywords);
}

/// `click.echo(text)`, with `click` read through `cache`.
int echo(runtime::GlobalCache &cache, PyObject *text) noexcept
{
    Ref echo_function(global_attribute(kClick, cache, kEcho));
    if (!echo_function)
        return -1;
    Ref result(runtime::method_call(state.rt, std::move(echo_function), std::array{text}));
    return result ? 0 : -1;
}

// ---------------------------------------------------------------------------
// Caches of the function bodies.

/// What calls of the two functions keep between calls, by the line that
/// reads it: one set for each thread calling at once.
struct CallCaches {
    runtime::ModuleAttributeCache os_environ_at_17;
    runtime::GlobalCache click_at_23;
    runtime::EnvironGetCache environ_at_17;
    runtime::GlobalCache sys_at_39, os_at_41, update_bash_file_at_43, os_at_46, click_at_47,
        click_at_48;

    void clear() noexcept
    {
        runtime::clear(os_environ_at_17);
        for (runtime::GlobalCache *cache : {&click_at_23, &sys_at_39, &os_at_41,
                                            &update_bash_file_at_43, &os_at_46, &click_at_47,
                                            &click_at_48})
            runtime::clear(*cache);
        runtime::environ_get_clear(environ_at_17);
    }
};

using Caches = runtime::PerThread<CallCaches>;
constinit Caches call_caches;

// ---------------------------------------------------------------------------
// get_license_info

/// A value without a colon (line 19): the notice, then (None, None).
PyObject *report_malformed(CallCaches &caches, PyObject *license_name) noexcept
{
    // `click.echo` is read before its argument is made, as Python would.
    Ref echo_function(global_attribute(kClick, caches.click_at_23, kEcho));
    if (!echo_function)
        return fail(kGetLicenseInfoName, 19);
    Ref notice(format(state.notice_malformed, {{S(kLicenseName), license_name}}));
    if (!notice)
        return fail(kGetLicenseInfoName, 19);
    Ref result(runtime::method_call(state.rt, std::move(echo_function), std::array{notice.get()}));
    if (!result)
        return fail(kGetLicenseInfoName, 19);
    return Py_NewRef(state.none_pair);
}

/// The body: borrows `license_name`.
PyObject *get_license_info(PyObject *license_name) noexcept
{
    constexpr const char *where = kGetLicenseInfoName;
    PyThreadState *tstate = runtime::compat::current_thread_state();
    runtime::PythonFrame frame(tstate);
    if (!frame.entered())
        return nullptr;  // raised where Python enters the function, before line 17
    Caches::Claim caches(call_caches);

    Ref license;  // line 17: os.environ.get(license_name)
    {
        Ref keep;
        PyObject *environ = runtime::module_attribute(state.rt, S(kOs), caches->os_environ_at_17,
                                                      S(kEnviron), keep);
        if (environ == nullptr)
            return fail(where, 17);
        license.reset(runtime::environ_get(caches->environ_at_17, environ, keep,
                                           license_name, S(kGet), tstate));
        if (!license)
            return fail(where, 17);
    }

    int present = runtime::truth(license.get());  // line 18: if license
    if (present < 0)
        return fail(where, 18);
    if (!present) {  // line 23
        if (echo(caches->click_at_23, S(kNoticeUnset)) < 0)
            return fail(where, 23);
        return Py_NewRef(state.none_pair);
    }

    Ref user, pw;
    if (PyUnicode_CheckExact(license.get())) {
        // Lines 19 and 20 for an exact str, whose `find` and slicing nobody
        // can replace: the colon is searched once and both halves are cut
        // directly, with no int in between.
        PyObject *text = license.get();
        Py_ssize_t at = PyUnicode_Find(text, S(kColon), 0, PY_SSIZE_T_MAX, 1);
        if (at == -2)
            return fail(where, 19);
        if (at == -1)
            return report_malformed(*caches, license_name);
        user.reset(PyUnicode_Substring(text, 0, at));
        if (!user)
            return fail(where, 19);
        pw.reset(PyUnicode_Substring(text, at + 1, PyUnicode_GET_LENGTH(text)));
        if (!pw)
            return fail(where, 20);
    } else {
        {  // line 19: license[:license.find(":")]
            Ref colon(runtime::call_method(license.get(), S(kFind), S(kColon)));
            if (!colon)
                return fail(where, 19);
            int missing = runtime::equals_minus_one(colon.get());  // colon == -1
            if (missing < 0)
                return fail(where, 19);
            if (missing)
                return report_malformed(*caches, license_name);
            user.reset(runtime::slice(license.get(), nullptr, colon.get()));
            if (!user)
                return fail(where, 19);
        }
        {  // line 20: license[license.find(":") + 1:]
            Ref colon(runtime::call_method(license.get(), S(kFind), S(kColon)));
            if (!colon)
                return fail(where, 20);
            Ref after(runtime::add_one(colon.get(), state.one));
            if (!after)
                return fail(where, 20);
            pw.reset(runtime::slice(license.get(), after.get(), nullptr));
            if (!pw)
                return fail(where, 20);
        }
    }

    PyObject *pair = PyTuple_New(2);  // line 21: return user, pw
    if (pair == nullptr)
        return fail(where, 21);
    PyTuple_SET_ITEM(pair, 0, user.release());
    PyTuple_SET_ITEM(pair, 1, pw.release());
    return pair;
}

PyObject *const *const get_license_info_parameters[] = {&state.strings[kLicenseName], nullptr};

PyObject *get_license_info_wrapper(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                   PyObject *kwnames) noexcept
{
    PyObject *slots[1] = {S(kDefaultVariable)};
    if (kwnames == nullptr) {
        if (nargs == 0)
            return get_license_info(slots[0]);
        if (nargs == 1)
            return get_license_info(args[0]);
        runtime::argument_count_error("get_license_info", false, 0, 1, nargs);
        return fail(kGetLicenseInfoName, 15);
    }
    if (nargs >= 2) {
        runtime::argument_count_error("get_license_info", false, 0, 1, nargs);
        return fail(kGetLicenseInfoName, 15);
    }
    Py_ssize_t keywords_left = PyTuple_GET_SIZE(kwnames);
    if (nargs == 1) {
        slots[0] = args[0];
    } else {
        if (keywords_left <= 0)
            return get_license_info(slots[0]);
        PyObject *value = runtime::keyword_lookup(kwnames, args, S(kLicenseName));
        if (value != nullptr) {
            slots[0] = value;
            keywords_left--;
        } else if (PyErr_Occurred()) {
            return fail(kGetLicenseInfoName, 15);
        }
    }
    if (keywords_left > 0
        && runtime::parse_remaining_keywords(kwnames, args + nargs, get_license_info_parameters,
                                             slots, nargs, "get_license_info") < 0)
        return fail(kGetLicenseInfoName, 15);
    return get_license_info(slots[0]);
}

PyMethodDef get_license_info_def = {
    .ml_name = "get_license_info",
    .ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get_license_info_wrapper)),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc = "从license获取账户的相关信息",
};

// ---------------------------------------------------------------------------
// set_to_environ

/// Whether `text[start:end]` (a ready `str`) is a plain name: ASCII
/// letters, digits and underscores, not empty, not starting with a digit.
bool is_plain_name(PyObject *text, Py_ssize_t start, Py_ssize_t end) noexcept
{
    if (start >= end)
        return false;
    int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    for (Py_ssize_t i = start; i < end; i++) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'
                  || (c >= '0' && c <= '9' && i > start);
        if (!ok)
            return false;
    }
    return true;
}

/// Whether `text[start:end]` (a ready `str`) holds a character that the
/// command shell does not take literally between double quotes.
bool has_shell_special(PyObject *text, Py_ssize_t start, Py_ssize_t end) noexcept
{
    int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    for (Py_ssize_t i = start; i < end; i++) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '"' || c == '%' || c == '\r' || c == '\n' || c == '\0')
            return true;
    }
    return false;
}

/// The longest value `setx` stores: it cuts longer ones and still reports
/// success.
constexpr Py_ssize_t kSetxValueLimit = 1024;

/// Walks `variables` once (line 40) into a new list of its names and checks
/// them and the value: what `setx` cannot take through the command shell
/// safely is refused before any command starts.  Messages name the name,
/// never the value.  Returns the list, or null with `line` set to 40 when
/// the walk failed or to 41 for a refusal.
PyObject *checked_setx_names(PyObject *variables, PyObject *value, int &line) noexcept
{
    line = 41;
    Ref names(PyList_New(0));
    if (!names)
        return nullptr;
    runtime::ListWalk walk(variables);
    Ref item;
    int got;
    while ((got = walk.next(item)) > 0) {
        if (!PyUnicode_Check(item.get())) {
            PyErr_Format(PyExc_TypeError, "environment variable names must be str, not %.200s",
                         Py_TYPE(item.get())->tp_name);
            return nullptr;
        }
        if (runtime::compat::str_ready(item.get()) < 0)
            return nullptr;
        if (!is_plain_name(item.get(), 0, PyUnicode_GET_LENGTH(item.get()))) {
            PyErr_Format(PyExc_ValueError,
                         "invalid environment variable name %R: use ASCII letters, digits and "
                         "underscores, not starting with a digit",
                         item.get());
            return nullptr;
        }
        if (PyList_Append(names.get(), item.get()) < 0)
            return nullptr;
    }
    if (got < 0) {
        line = 40;
        return nullptr;
    }
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "the value must be str, not %.200s", Py_TYPE(value)->tp_name);
        return nullptr;
    }
    if (runtime::compat::str_ready(value) < 0)
        return nullptr;
    if (PyUnicode_GET_LENGTH(value) > kSetxValueLimit) {
        PyErr_Format(PyExc_ValueError,
                     "the value is %zd characters long; setx stores at most %zd and would cut it",
                     PyUnicode_GET_LENGTH(value), kSetxValueLimit);
        return nullptr;
    }
    if (has_shell_special(value, 0, PyUnicode_GET_LENGTH(value))) {
        PyErr_SetString(PyExc_ValueError,
                        "the value holds a character that setx cannot be given safely: "
                        "a double quote, %, CR, LF or NUL");
        return nullptr;
    }
    return names.release();
}

/// Whether `command` has the shape `setx NAME "VALUE" ` with a plain name
/// and a value that the command shell takes literally.  The upfront check
/// sees the names and the value; this one sees the very text that reaches
/// the shell, whatever `str.format` made of them.
bool is_safe_command(PyObject *command) noexcept
{
    if (!PyUnicode_CheckExact(command) || runtime::compat::str_ready(command) < 0) {
        PyErr_Clear();
        return false;
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(command);
    int kind = PyUnicode_KIND(command);
    const void *data = PyUnicode_DATA(command);
    constexpr char prefix[] = "setx ";
    constexpr Py_ssize_t name_start = sizeof prefix - 1;
    for (Py_ssize_t i = 0; i < name_start; i++) {
        if (i >= length || PyUnicode_READ(kind, data, i) != static_cast<Py_UCS4>(prefix[i]))
            return false;
    }
    Py_ssize_t space = PyUnicode_FindChar(command, ' ', name_start, length, 1);
    if (space < 0 || length - space < 4)
        return false;
    return is_plain_name(command, name_start, space)
           && PyUnicode_READ(kind, data, space + 1) == '"'
           && PyUnicode_READ(kind, data, length - 2) == '"'
           && PyUnicode_READ(kind, data, length - 1) == ' '
           && !has_shell_special(command, space + 2, length - 2);
}

/// The body: borrows both arguments.
PyObject *set_to_environ(PyObject *variables_given, PyObject *value) noexcept
{
    constexpr const char *where = kSetToEnvironName;
    runtime::PythonFrame frame(runtime::compat::current_thread_state());
    if (!frame.entered())
        return nullptr;  // raised where Python enters the function, before line 32
    Caches::Claim caches(call_caches);

    // line 32: the name shown in the confirmation line
    int is_default = runtime::names_equal(variables_given, S(kDefaultVariable));
    if (is_default < 0)
        return fail(where, 32);
    Ref var_name = Ref::borrow(is_default ? S(kDisplayName) : variables_given);

    Ref variables;  // line 38: a list, the caller's own when it is one
    if (PyList_Check(variables_given)) {
        variables = Ref::borrow(variables_given);
    } else {
        variables.reset(runtime::compat::list_of_one(variables_given));
        if (!variables)
            return fail(where, 38);
    }

    int windows;  // line 39: sys.platform.startswith("win")
    {
        Ref platform(global_attribute(kSys, caches->sys_at_39, kPlatform));
        if (!platform)
            return fail(where, 39);
        Ref answer(runtime::call_method(platform.get(), S(kStartswith), S(kWin)));
        if (!answer)
            return fail(where, 39);
        windows = runtime::truth(answer.get());
        if (windows < 0)
            return fail(where, 39);
    }

    if (windows) {
        int line;
        Ref names(checked_setx_names(variables.get(), value, line));  // line 40
        if (!names)
            return fail(where, line);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); i++) {
            PyObject *name = PyList_GET_ITEM(names.get(), i);  // the list is ours alone
            // line 41: os.popen(template.format(...))
            Ref popen(global_attribute(kOs, caches->os_at_41, kPopen));
            if (!popen)
                return fail(where, 41);
            Ref command(format(S(kSetxTemplate), {{S(kVariableName), name}, {S(kValue), value}}));
            if (!command)
                return fail(where, 41);
            if (!is_safe_command(command.get())) {
                PyErr_Format(PyExc_ValueError,
                             "refusing to run setx for %R: the command text is not a plain "
                             "name and a value the command shell takes literally",
                             name);
                return fail(where, 41);
            }
            Ref process(runtime::method_call(state.rt, std::move(popen), std::array{command.get()}));
            if (!process)
                return fail(where, 41);
        }
    } else {  // line 43: update_bash_file(variables, value)
        Ref update(runtime::global_lookup(state.rt, S(kUpdateBashFile), caches->update_bash_file_at_43));
        if (!update)
            return fail(where, 43);
        Ref result(runtime::method_call(state.rt, std::move(update),
                                        std::array{variables.get(), value}));
        if (!result)
            return fail(where, 43);
    }

    runtime::ListWalk walk(variables.get());  // line 45
    Ref variable_name;
    int got;
    while ((got = walk.next(variable_name)) > 0) {
        // line 46: os.environ[variable_name] = value
        Ref environ(global_attribute(kOs, caches->os_at_46, kEnviron));
        if (!environ || PyObject_SetItem(environ.get(), variable_name.get(), value) < 0)
            return fail(where, 46);
    }
    if (got < 0)
        return fail(where, 45);

    {  // line 47
        Ref echo_function(global_attribute(kClick, caches->click_at_47, kEcho));
        if (!echo_function)
            return fail(where, 47);
        Ref line(format(S(kNoticeSet), {{S(kVarName), var_name.get()}, {S(kValue), value}}));
        if (!line)
            return fail(where, 47);
        Ref result(runtime::method_call(state.rt, std::move(echo_function),
                                        std::array{line.get()}));
        if (!result)
            return fail(where, 47);
    }
    if (echo(caches->click_at_48, S(kNoticeRestart)) < 0)  // line 48
        return fail(where, 48);
    Py_RETURN_NONE;
}

PyObject *const *const set_to_environ_parameters[] = {&state.strings[kVariables],
                                                      &state.strings[kValue], nullptr};

PyObject *set_to_environ_wrapper(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                 PyObject *kwnames) noexcept
{
    PyObject *slots[2] = {nullptr, nullptr};
    if (kwnames == nullptr) {
        if (nargs == 2)
            return set_to_environ(args[0], args[1]);
        runtime::argument_count_error("set_to_environ", true, 2, 2, nargs);
        return fail(kSetToEnvironName, 27);
    }
    if (nargs > 2) {
        runtime::argument_count_error("set_to_environ", true, 2, 2, nargs);
        return fail(kSetToEnvironName, 27);
    }
    for (Py_ssize_t i = 0; i < nargs; i++)
        slots[i] = args[i];
    Py_ssize_t keywords_left = PyTuple_GET_SIZE(kwnames);
    PyObject *const *kwvalues = args + nargs;
    for (Py_ssize_t i = nargs; i < 2; i++) {
        PyObject *found = runtime::keyword_lookup(kwnames, kwvalues, *set_to_environ_parameters[i]);
        if (found == nullptr) {
            if (!PyErr_Occurred())
                runtime::argument_count_error("set_to_environ", true, 2, 2, i);
            return fail(kSetToEnvironName, 27);
        }
        slots[i] = found;
        keywords_left--;
    }
    if (keywords_left > 0
        && runtime::parse_remaining_keywords(kwnames, kwvalues, set_to_environ_parameters, slots,
                                             nargs, "set_to_environ") < 0)
        return fail(kSetToEnvironName, 27);
    return set_to_environ(slots[0], slots[1]);
}

PyMethodDef set_to_environ_def = {
    .ml_name = "set_to_environ",
    .ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_to_environ_wrapper)),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc = "将变量设置到环境变量\n    :param variable_name: string\n    :param value: string\n    ",
};

// ---------------------------------------------------------------------------
// Module body.

/// Stores a new reference under `key` in the module dict; false on failure.
bool store(Str key, Ref value) noexcept
{
    return value && PyDict_SetItem(state.rt.module_dict, S(key), value.get()) == 0;
}

/// Runs the statements of the module body.  Returns 0, or the line of the
/// statement that failed.
int run_module_body() noexcept
{
    const runtime::ImportNames names = {S(kSpec), S(kInitializing), S(kDot)};
    for (auto [name, line] : {std::pair{kOs, 6}, {kRe, 7}, {kSys, 8}, {kClick, 10}}) {
        if (!store(name, Ref(runtime::import_module(state.rt, names, S(name)))))
            return line;
    }

    {  // line 11
        Ref fromlist(runtime::compat::list_of_one(S(kUpdateBashFile)));
        if (!fromlist)
            return 11;
        Ref module(runtime::import_from_list(state.rt, S(kScriptUpdate), fromlist.get()));
        fromlist.reset();
        if (!module
            || !store(kUpdateBashFile,
                      Ref(runtime::import_name(names, module.get(), S(kUpdateBashFile)))))
            return 11;
    }

    {  // line 15
        Ref function(runtime::function_new(state.rt.function_type, &get_license_info_def,
                                           S(kGetLicenseInfo), S(kModuleName),
                                           state.rt.module_dict, state.get_license_info_code));
        if (function) {
            auto *f = reinterpret_cast<runtime::FunctionObject *>(function.get());
            f->defaults_tuple = Py_NewRef(state.get_license_info_defaults);
        }
        if (!store(kGetLicenseInfo, std::move(function)))
            return 15;
    }

    if (!store(kSetToEnviron,  // line 27
               Ref(runtime::function_new(state.rt.function_type, &set_to_environ_def,
                                         S(kSetToEnviron), S(kModuleName), state.rt.module_dict,
                                         state.set_to_environ_code))))
        return 27;

    if (!store(kTest, Ref(PyDict_New())))  // line 1
        return 1;
    return 0;
}

// ---------------------------------------------------------------------------
// Loading.

std::int64_t recorded_interpreter = -1;
PyObject *cached_module = nullptr;

unsigned long runtime_version() noexcept
{
#ifdef LICENSE_HELPER_RUNTIME_VERSION
    return LICENSE_HELPER_RUNTIME_VERSION;
#else
    return Py_Version;
#endif
}

/// Warns when the running interpreter is another minor version than the
/// one the module was built for; -1 when the warning was turned into an
/// error.
int check_runtime_version() noexcept
{
    unsigned long version = runtime_version();
    int major = static_cast<int>((version >> 24) & 0xFF);
    int minor = static_cast<int>((version >> 16) & 0xFF);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION)
        return 0;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, kFullName, "does not match", major, minor);
    return PyErr_WarnEx(nullptr, message, 1);
}

/// Copies a spec attribute into the module dict; a missing one leaves the
/// key absent, and so does None where `none_is_absent`.
int copy_spec_attribute(PyObject *spec, const char *attribute, PyObject *dict, const char *key,
                        bool none_is_absent) noexcept
{
    Ref value(PyObject_GetAttrString(spec, attribute));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        return 0;
    }
    if (none_is_absent && value.get() == Py_None)
        return 0;
    return PyDict_SetItemString(dict, key, value.get());
}

PyObject *module_create(PyObject *spec, PyModuleDef *) noexcept
{
    std::int64_t current = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (recorded_interpreter == -1) {
        recorded_interpreter = current;
        if (current == -1)
            return nullptr;
    } else if (current != recorded_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (cached_module != nullptr)
        return Py_NewRef(cached_module);

    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name)
        return nullptr;
    Ref module(PyModule_NewObject(name.get()));
    name.reset();
    if (!module)
        return nullptr;
    PyObject *dict = PyModule_GetDict(module.get());
    if (dict == nullptr)
        return nullptr;
    if (copy_spec_attribute(spec, "loader", dict, "__loader__", false) < 0
        || copy_spec_attribute(spec, "origin", dict, "__file__", false) < 0
        || copy_spec_attribute(spec, "parent", dict, "__package__", false) < 0
        || copy_spec_attribute(spec, "submodule_search_locations", dict, "__path__", true) < 0)
        return nullptr;
    return module.release();
}

constexpr int kNoEntry = -1;

/// `os.environ` of the `os` module the body imported, read from the
/// module's dict (nothing of anybody's runs), or null.
PyObject *process_environ() noexcept
{
    PyObject *os;
    if (runtime::compat::dict_get_ref(state.rt.module_dict, S(kOs), os) <= 0) {
        PyErr_Clear();
        return nullptr;
    }
    Ref module(os);
    PyObject *environ = nullptr;
    if (PyModule_CheckExact(os)) {
        PyObject *dict = PyModule_GetDict(os);
        runtime::compat::track_dict_changes(dict);  // line 17 reads `os.environ` from it
        if (runtime::compat::dict_get_ref(dict, S(kEnviron), environ) < 0)
            PyErr_Clear();
    }
    return environ;
}

/// The set-up of the module state, then the module body.  Returns 0, the
/// line to report, or kNoEntry for a failure before the constants exist.
int execute(PyObject *module) noexcept
{
    state.rt.module_dict = Py_NewRef(PyModule_GetDict(module));
    runtime::compat::track_dict_changes(state.rt.module_dict);
    PyObject *builtins = PyImport_AddModule("builtins");
    if (builtins == nullptr)
        return kNoEntry;
    state.rt.builtins = Py_NewRef(builtins);
    if (PyObject_SetAttrString(module, "__builtins__", builtins) < 0)
        return kNoEntry;
    if (check_runtime_version() < 0)
        return kNoEntry;
    state.rt.empty_tuple = PyTuple_New(0);
    if (state.rt.empty_tuple == nullptr)
        return kNoEntry;
    state.rt.empty_bytes = PyBytes_FromStringAndSize(nullptr, 0);
    if (state.rt.empty_bytes == nullptr)
        return kNoEntry;
    PyTypeObject *type = runtime::function_type_ready(&state.strings[kAsyncioCoroutines],
                                                      &state.strings[kIsCoroutine]);
    if (type == nullptr)
        return kNoEntry;
    state.rt.function_type = reinterpret_cast<PyTypeObject *>(
        Py_NewRef(reinterpret_cast<PyObject *>(type)));
    if (build_constant_table() < 0)
        return kNoEntry;
    state.one = PyLong_FromLong(1);
    if (state.one == nullptr)
        return kNoEntry;

    // From here on a failure is reported at line 1 of the module.
    PyObject *modules = PyImport_GetModuleDict();
    PyObject *registered;
    int found = runtime::compat::dict_get_ref(modules, S(kModuleName), registered);
    Py_XDECREF(registered);
    if (found < 0 || (found == 0 && PyDict_SetItem(modules, S(kModuleName), module) < 0))
        return 1;
    state.none_pair = PyTuple_Pack(2, Py_None, Py_None);
    if (state.none_pair == nullptr)
        return 1;
    state.get_license_info_varnames =
        PyTuple_Pack(4, S(kLicenseName), S(kLicense), S(kUser), S(kPw));
    if (state.get_license_info_varnames == nullptr)
        return 1;
    state.get_license_info_code =
        make_code(1, state.get_license_info_varnames, S(kGetLicenseInfo), 15);
    if (state.get_license_info_code == nullptr)
        return 1;
    state.get_license_info_defaults = PyTuple_Pack(1, S(kDefaultVariable));
    if (state.get_license_info_defaults == nullptr)
        return 1;
    state.set_to_environ_varnames =
        PyTuple_Pack(4, S(kVariables), S(kValue), S(kVarName), S(kVariableName));
    if (state.set_to_environ_varnames == nullptr)
        return 1;
    state.set_to_environ_code = make_code(2, state.set_to_environ_varnames, S(kSetToEnviron), 27);
    if (state.set_to_environ_code == nullptr)
        return 1;

    int line = run_module_body();
    if (line == 0) {
        // Last, since its failures are its own to absorb: the direct path of
        // line 17, checked once against the `os.environ` just imported.
        runtime::environ_get_prepare(Ref(process_environ()).get());
        runtime::compat::prepare_tool_watch();
        runtime::compat::end_setup();
    }
    return line;
}

int module_exec(PyObject *module) noexcept
{
    if (cached_module != nullptr) {
        if (cached_module == module)
            return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'license_helper' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    cached_module = Py_NewRef(module);
    int line = execute(module);
    if (line == 0)
        return 0;
    if (line != kNoEntry)
        runtime::add_traceback(state.rt, kInitName, line, kSourcePath);
    Py_CLEAR(cached_module);
    release_state();
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    runtime::compat::kOneInterpreterSlot,
    runtime::compat::kGilSlot,
    {0, nullptr},
};

PyMethodDef module_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "license_helper",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = module_methods,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace license_helper

PyMODINIT_FUNC PyInit_license_helper(void)
{
    return PyModuleDef_Init(&license_helper::module_def);
}
