// Exceptions that travel back: a pool's server reports an exception raised
// by its callable as an encoded report, and the caller raises it again.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>

#include "calls/record.h"
#include "calls/remote_classes.h"
#include "kel_2.h"
#include "platform/errors.h"
#include "py_ref.h"

namespace {

// The report's members, in order: the class's module, its qualified name,
// its arguments (None when they cannot be encoded), its str() and the
// server's formatted traceback.
constexpr Py_ssize_t REPORT_MEMBERS = 5;
// How many encoded bytes of a long text a report keeps so that it fits the
// message area: a message's first; a traceback, whose last lines say most,
// gets what the other members leave.
constexpr Py_ssize_t KEPT_NAME = 100;
constexpr Py_ssize_t KEPT_TEXT = 200;
// What a text of under 64 KiB adds to an empty one's encoding (its size form).
constexpr Py_ssize_t TEXT_SIZE_FORM = 8;

// Takes the exception being raised (normalised, with its traceback) off the
// thread's error indicator.
PyRef take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyRef(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef type_ref(type);
    PyRef traceback_ref(traceback);
    PyRef exception(value);
    if (exception && traceback_ref) {
        PyException_SetTraceback(exception.get(), traceback_ref.get());
    }
    return exception;
#endif
}

// Raises `exception` again (consumes the reference).
void restore_exception(PyRef exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception.get()));
    Py_INCREF(type);
    PyErr_Restore(type, exception.release(), nullptr);
#endif
}

// An attribute as text, or `fallback` when it has none (`found` false).
PyRef text_attribute(PyObject* object, const char* attribute, const char* fallback, bool* found = nullptr) {
    PyRef value(PyObject_GetAttrString(object, attribute));
    const bool text = value && PyUnicode_Check(value.get());
    if (found) {
        *found = text;
    }
    if (text) {
        return value;
    }
    PyErr_Clear();
    return PyRef(PyUnicode_FromString(fallback));
}

// str(exception), or a stand-in when its __str__ fails (`printable` false).
PyRef exception_text(PyObject* exception, bool& printable) {
    PyRef text(PyObject_Str(exception));
    printable = bool(text);
    if (!text) {
        PyErr_Clear();
        text.reset(PyUnicode_FromString("<unprintable exception>"));
    }
    return text;
}

// The traceback of `exception` as the interpreter prints it.
PyRef fully_formatted_traceback(PyObject* exception) {
    PyRef module(PyImport_ImportModule("traceback"));
    PyRef trace(PyException_GetTraceback(exception));
    PyRef lines(module ? PyObject_CallMethod(module.get(), "format_exception", "OOO", Py_TYPE(exception), exception,
                                             trace ? trace.get() : Py_None)
                       : nullptr);
    PyRef empty(PyUnicode_FromString(""));
    PyRef text(lines && empty ? PyUnicode_Join(empty.get(), lines.get()) : nullptr);
    if (!text) {
        PyErr_Clear();
        text.reset(PyUnicode_FromString(""));
    }
    return text;
}

// The stack part of formatted tracebacks, by the places they pass through
// (each frame's code and last instruction): a served function that fails the
// same way again is not formatted again, which is most of what sending an
// exception back costs. Kept for the main interpreter (the module refuses
// others) and emptied when it grows large.
PyObject* formatted_stacks = nullptr;
constexpr Py_ssize_t KEPT_STACKS = 256;

// The places the traceback `trace` passes through, as a tuple.
PyRef stack_places(PyObject* trace) {
    PyRef places(PyList_New(0));
    for (PyObject* entry = trace; places && entry && entry != Py_None;
         entry = reinterpret_cast<PyObject*>(reinterpret_cast<PyTracebackObject*>(entry)->tb_next)) {
        const PyTracebackObject* tb = reinterpret_cast<PyTracebackObject*>(entry);
        PyRef code(reinterpret_cast<PyObject*>(PyFrame_GetCode(tb->tb_frame)));
        PyRef instruction(PyLong_FromLong(tb->tb_lasti));
        if (!code || !instruction || PyList_Append(places.get(), code.get()) < 0 ||
            PyList_Append(places.get(), instruction.get()) < 0) {
            return PyRef();
        }
    }
    return places ? PyRef(PyList_AsTuple(places.get())) : PyRef();
}

// The heading and the frames of the traceback `trace`, as the interpreter
// prints them.
PyRef formatted_stack(PyObject* trace) {
    if (!formatted_stacks && !(formatted_stacks = PyDict_New())) {
        return PyRef();
    }
    PyRef places = stack_places(trace);
    if (!places) {
        return PyRef();
    }
    PyObject* known = PyDict_GetItemWithError(formatted_stacks, places.get());
    if (known || PyErr_Occurred()) {
        return known ? PyRef::borrow(known) : PyRef();
    }
    PyRef module(PyImport_ImportModule("traceback"));
    PyRef lines(module ? PyObject_CallMethod(module.get(), "format_tb", "O", trace) : nullptr);
    PyRef heading(PyUnicode_FromString("Traceback (most recent call last):\n"));
    PyRef empty(PyUnicode_FromString(""));
    PyRef frames(lines && heading && empty ? PyUnicode_Join(empty.get(), lines.get()) : nullptr);
    PyRef stack(frames ? PyUnicode_Concat(heading.get(), frames.get()) : nullptr);
    if (!stack) {
        return PyRef();
    }
    if (PyDict_GET_SIZE(formatted_stacks) >= KEPT_STACKS) {
        PyDict_Clear(formatted_stacks);
    }
    if (PyDict_SetItem(formatted_stacks, places.get(), stack.get()) < 0) {
        return PyRef();
    }
    return stack;
}

// The last line of a formatted traceback: the class (with its module unless
// built in or of __main__), then ": " and `text` unless it is empty.
PyRef final_line(PyObject* module, PyObject* qualname, PyObject* text) {
    const bool plain_module = PyUnicode_CompareWithASCIIString(module, "builtins") == 0 ||
                              PyUnicode_CompareWithASCIIString(module, "__main__") == 0;
    PyRef type_name(plain_module ? PyRef::borrow(qualname) : PyRef(PyUnicode_FromFormat("%U.%U", module, qualname)));
    if (!type_name) {
        return PyRef();
    }
    return PyUnicode_GET_LENGTH(text) == 0 ? PyRef(PyUnicode_FromFormat("%U\n", type_name.get()))
                                           : PyRef(PyUnicode_FromFormat("%U: %U\n", type_name.get(), text));
}

// Whether the interpreter prints `exception` as its stack and one final
// line: not chained to another, without notes, neither a syntax error nor an
// exception group (each printed in a form of its own).
bool formats_plainly(PyObject* exception) {
    PyRef cause(PyException_GetCause(exception));
    PyRef context(PyException_GetContext(exception));
    const bool suppressed = reinterpret_cast<PyBaseExceptionObject*>(exception)->suppress_context != 0;
    if (cause || (context && !suppressed) || PyObject_TypeCheck(exception, reinterpret_cast<PyTypeObject*>(PyExc_SyntaxError))) {
        return false;
    }
#if PY_VERSION_HEX >= 0x030B0000
    if (PyObject_TypeCheck(exception, reinterpret_cast<PyTypeObject*>(PyExc_BaseExceptionGroup))) {
        return false;
    }
#endif
    const int notes = PyObject_HasAttrString(exception, "__notes__");
    return notes == 0;
}

// The texts an exception's report is made of.
struct ExceptionTexts {
    PyRef module;
    PyRef qualname;
    PyRef text;
    bool plain;  // its class's names and its str() are its own, no stand-ins
};

// The traceback of `exception` as the interpreter prints it; the stack part
// of a plain one is formatted once per place.
PyRef formatted_traceback(PyObject* exception, const ExceptionTexts& texts) {
    PyRef trace(PyException_GetTraceback(exception));
    if (trace && texts.plain && formats_plainly(exception)) {
        PyRef stack = formatted_stack(trace.get());
        PyRef last(stack ? final_line(texts.module.get(), texts.qualname.get(), texts.text.get()) : PyRef());
        PyRef whole(last ? PyUnicode_Concat(stack.get(), last.get()) : nullptr);
        if (whole) {
            return whole;
        }
        PyErr_Clear();
    }
    return fully_formatted_traceback(exception);
}

bool continues_a_character(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

// At most `budget` encoded bytes of `text`, cut on a character boundary: its
// first, or its last when `from_end`. A character that has no UTF-8 form (a
// lone surrogate) is kept as its escape, so the result always encodes.
PyRef shortened(PyObject* text, Py_ssize_t budget, bool from_end = false) {
    PyRef utf8(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
    if (!utf8) {
        return PyRef();
    }
    const char* bytes = PyBytes_AS_STRING(utf8.get());
    const Py_ssize_t size = PyBytes_GET_SIZE(utf8.get());
    Py_ssize_t start = 0;
    Py_ssize_t end = size;
    if (size > budget && from_end) {
        for (start = size - std::max<Py_ssize_t>(budget, 0); start < size && continues_a_character(bytes[start]);) {
            ++start;
        }
    } else if (size > budget) {
        for (end = std::max<Py_ssize_t>(budget, 0); end > 0 && continues_a_character(bytes[end]);) {
            --end;
        }
    }
    return PyRef(PyUnicode_DecodeUTF8(bytes + start, end - start, "strict"));
}

// The encoded report if it fits the message area; null with no exception set
// when it does not encode or does not fit.
PyRef encoded_report(PyObject* module, PyObject* qualname, PyObject* args, PyObject* text, PyObject* traceback) {
    if (!module || !qualname || !args || !text || !traceback) {
        PyErr_Clear();
        return PyRef();
    }
    PyRef report(PyTuple_Pack(REPORT_MEMBERS, module, qualname, args, text, traceback));
    PyRef encoded(report ? from_value(report.get()) : nullptr);
    if (!encoded || !PyBytes_Check(encoded.get()) || PyBytes_GET_SIZE(encoded.get()) > static_cast<Py_ssize_t>(MESSAGE_SIZE)) {
        PyErr_Clear();
        return PyRef();
    }
    return encoded;
}

// The arguments a shortened report keeps: those of an exception made from
// its text alone, as the shortened text; None otherwise.
PyRef kept_arguments(PyObject* args, PyObject* text, PyObject* short_text) {
    if (args && PyTuple_Check(args) && PyTuple_GET_SIZE(args) == 1 && PyUnicode_Check(PyTuple_GET_ITEM(args, 0)) &&
        PyUnicode_Compare(PyTuple_GET_ITEM(args, 0), text) == 0) {
        return PyRef(PyTuple_Pack(1, short_text));
    }
    return PyRef::borrow(Py_None);
}

// The report with its texts shortened by their encoded size, the traceback
// to the last lines that the other members leave room for; null with no
// exception set when even that does not fit.
PyRef brief_report(const ExceptionTexts& texts, PyObject* args, PyObject* traceback) {
    PyRef module = shortened(texts.module.get(), KEPT_NAME);
    PyRef qualname = shortened(texts.qualname.get(), KEPT_NAME);
    PyRef text = shortened(texts.text.get(), KEPT_TEXT);
    PyRef kept_args(text ? kept_arguments(args, texts.text.get(), text.get()) : PyRef());
    PyRef empty(PyUnicode_FromString(""));
    PyRef without_traceback = encoded_report(module.get(), qualname.get(), kept_args.get(), text.get(), empty.get());
    if (!without_traceback) {
        return PyRef();
    }
    const Py_ssize_t room =
        static_cast<Py_ssize_t>(MESSAGE_SIZE) - PyBytes_GET_SIZE(without_traceback.get()) - TEXT_SIZE_FORM;
    PyRef last_lines = shortened(traceback, room, true);
    return encoded_report(module.get(), qualname.get(), kept_args.get(), text.get(), last_lines.get());
}

// The report of `exception`, encoded to fit the message area: whole when it
// fits, else shortened (brief_report). Null with an exception set when not
// even that encodes.
PyRef exception_report(PyObject* exception) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
    bool module_found;
    bool qualname_found;
    bool printable;
    ExceptionTexts texts{text_attribute(type, "__module__", "builtins", &module_found),
                         text_attribute(type, "__qualname__", Py_TYPE(exception)->tp_name, &qualname_found),
                         exception_text(exception, printable), false};
    texts.plain = module_found && qualname_found && printable;
    if (!texts.module || !texts.qualname || !texts.text) {
        return PyRef();
    }
    PyRef args(PyObject_GetAttrString(exception, "args"));
    if (!args) {
        PyErr_Clear();
    }
    PyRef traceback = formatted_traceback(exception, texts);
    if (!traceback) {
        return PyRef();
    }
    PyRef whole = encoded_report(texts.module.get(), texts.qualname.get(), args ? args.get() : Py_None,
                                 texts.text.get(), traceback.get());
    if (whole) {
        return whole;
    }
    PyRef brief = brief_report(texts, args.get(), traceback.get());
    if (!brief) {
        PyErr_SetString(PyExc_RuntimeError, "Failed to encode the report of an exception.");
    }
    return brief;
}

// The module's own class `name` (RemoteError, RemoteTraceback).
PyRef module_class(const char* name) {
    PyRef module(PyImport_ImportModule("zelvane"));
    return module ? PyRef(PyObject_GetAttrString(module.get(), name)) : PyRef();
}

// A RemoteError naming the remote class and its str(); its type_name is
// the class's "module.qualname".
PyRef remote_error(PyObject* module, PyObject* qualname, PyObject* text) {
    PyRef cls = module_class("RemoteError");
    PyRef message(cls ? PyUnicode_FromFormat("%S.%S: %S", module, qualname, text) : nullptr);
    PyRef error(message ? PyObject_CallOneArg(cls.get(), message.get()) : nullptr);
    PyRef type_name(error ? remote_type_name(module, qualname) : PyRef());
    if (!type_name || PyObject_SetAttrString(error.get(), "type_name", type_name.get()) < 0) {
        return PyRef();
    }
    return error;
}

// The exception a report (the decoded reply `report`) describes, caused by
// a RemoteTraceback that carries the server's traceback; null with an
// exception set when the report names nothing.
PyRef remote_exception(const char* name, PyObject* report) {
    if (!PyTuple_Check(report) || PyTuple_GET_SIZE(report) != REPORT_MEMBERS) {
        PyErr_Format(PyExc_RuntimeError, "The reply of '%s' names no result.", name);
        return PyRef();
    }
    PyObject* module = PyTuple_GET_ITEM(report, 0);
    PyObject* qualname = PyTuple_GET_ITEM(report, 1);
    PyRef exception = rebuilt_exception(module, qualname, PyTuple_GET_ITEM(report, 2));
    if (!exception) {
        exception = remote_error(module, qualname, PyTuple_GET_ITEM(report, 3));
    }
    PyRef traceback_class = module_class("RemoteTraceback");
    PyRef cause(traceback_class ? PyObject_CallOneArg(traceback_class.get(), PyTuple_GET_ITEM(report, 4)) : nullptr);
    if (!exception || !cause) {
        return PyRef();
    }
    PyException_SetCause(exception.get(), cause.release());
    return exception;
}

// Raises the exception remote_exception() makes of `report`. Always returns
// null.
PyObject* raise_remote(const char* name, PyObject* report) {
    PyRef exception = remote_exception(name, report);
    if (exception) {
        restore_exception(std::move(exception));
    }
    return nullptr;
}

// Adds RemoteError and RemoteTraceback to the module; false with an
// exception set.
bool add_remote_error_types(PyObject* module) {
    PyRef members(Py_BuildValue("{sO}", "type_name", Py_None));
    PyRef error(members ? PyErr_NewExceptionWithDoc("zelvane.RemoteError",
                                                    "An exception raised by a served function that cannot be raised "
                                                    "here as itself; its message names the remote class and its "
                                                    "text, and type_name gives that class as \"module.qualname\".",
                                                    PyExc_RuntimeError, members.get())
                        : nullptr);
    PyRef traceback(PyErr_NewExceptionWithDoc("zelvane.RemoteTraceback",
                                              "The cause of an exception that came back from a served function: "
                                              "its str() is the server's formatted traceback.",
                                              PyExc_Exception, nullptr));
    if (!error || !traceback || PyModule_AddObject(module, "RemoteError", error.get()) < 0) {
        return false;
    }
    error.release();
    if (PyModule_AddObject(module, "RemoteTraceback", traceback.get()) < 0) {
        return false;
    }
    traceback.release();
    return true;
}

}  // namespace
