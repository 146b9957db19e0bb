/// Construction of an inspector and the report channel: system log, report file,
/// standard output, and the error counter.
#include "engine/engine.hpp"
#include "engine/texts.hpp"

namespace tarno::engine {
namespace {

py::handle g_namespace;
py::handle g_builtins;

/// The system-log connection belongs to the process, not to one inspector: an end
/// message closes it for every inspector alike.
bool g_log_closed = false;

/// Opens the system log with the inspector's identity and facility.
void open_log() {
    global("syslog").attr("openlog")(rt::to_str(log_ident), 0, log_facility_argument);
    g_log_closed = false;
}

/// Sends `text` to the system log at the priority `syslog.<priority>`. Once an
/// end message has closed the connection, the next line reopens it with the
/// construction's arguments: otherwise the platform would reopen it under the
/// interpreter's own identity and the line would lose its origin.
void send_to_log(const char *priority, py::handle text) {
    if (g_log_closed) {
        open_log();
    }
    py::object syslog = global("syslog");
    syslog.attr("syslog")(attr(syslog, priority), text);
}

/// The report file while it is open; None before it is opened, when it could not
/// be opened, and after the end message closed it (a line that arrives then goes
/// to the system log and standard output only, and the file stays as it was).
py::object open_report_file(py::handle self) {
    py::object file = attr(self, member::report_file);
    if (file.is_none()) {
        return file;
    }
    PyObject *closed = PyObject_GetAttrString(file.ptr(), "closed");
    if (closed == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw py::error_already_set();
        }
        PyErr_Clear();
        return file;
    }
    return rt::truthy(rt::steal(closed)) ? py::none() : file;
}

/// Writes one report-file line and flushes it, so that findings already made
/// survive a run that ends by an exception or a killed process.
void write_report_line(py::handle file, const std::string &line) {
    file.attr("write")(rt::to_str(line + "\n"));
    file.attr("flush")();
}

/// Prints the line when the inspector is verbose.
void echo(py::handle self, const std::string &line) {
    if (rt::truthy(attr(self, member::verbose))) {
        global("print")(rt::to_str(line));
    }
}

/// The report-file line of `text`, stamped by the inspector's template.
std::string stamped(py::handle self, std::string_view text) {
    return rt::to_utf8(call_method(self, method::msg_template, rt::to_str(text)));
}

} // namespace

void bind_namespace(py::handle module_dict) {
    g_namespace = module_dict.inc_ref();
    g_builtins = py::handle(PyEval_GetBuiltins()).inc_ref();
}

py::object global(const char *name) {
    for (py::handle scope : {g_namespace, g_builtins}) {
        if (PyObject *value = PyDict_GetItemString(scope.ptr(), name)) {
            return rt::borrow(value);
        }
    }
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw py::error_already_set();
}

void init(py::object self, py::object report_file, py::object cfg, py::object block,
          py::object verbose) {
    set_attr(self, member::cfg, cfg);
    set_attr(self, member::verbose, verbose);
    set_attr(self, member::block, block);
    set_attr(self, member::report_file_path, global("Path")(report_file));
    set_attr(self, member::report_file, Py_None);
    set_attr(self, member::error_count, py::int_(0));
    call_method(self, method::setup, attr(self, member::report_file_path));
}

void setup(py::object self, py::object report_file) {
    open_log();
    py::object default_dir;
    bool repaired = true;
    try {
        default_dir = attr(self, "default_dir");
        if (!rt::truthy(default_dir.attr("exists")())) {
            py::object path = rt::steal(PyObject_Str(default_dir.ptr()));
            call_method(self, method::send_error, concat(path, rt::to_str(does_not_exist)));
            default_dir.attr("mkdir")();
            call_method(self, method::send_warning, concat(path, rt::to_str(partially_restored)));
        }
    } catch (py::error_already_set &error) {
        if (!rt::is_ordinary(error)) {
            throw;
        }
        call_method(self, method::send_error, error_text(error));
        repaired = false;
    }
    // A report directory that cannot be created must not cost the caller a report
    // file that lies elsewhere; one inside it could not be opened anyway, and its
    // absence is already reported.
    try {
        if (repaired || !default_dir || !attr(report_file, "parent").equal(default_dir)) {
            set_attr(self, member::report_file, global("open")(report_file, "w"));
        }
    } catch (py::error_already_set &error) {
        if (!rt::is_ordinary(error)) {
            throw;
        }
        call_method(self, method::send_error, error_text(error));
    }
}

py::object msg_template(py::object message) {
    py::object now = global("datetime").attr("now")(global("tz").attr("tzlocal")());
    return rt::to_str(report_line(rt::to_utf8(now.attr("isoformat")()), rt::text_of(message)));
}

void send_start_check_message(py::object self) {
    set_attr(self, member::error_count, py::int_(0));
    const std::string line = stamped(self, start_text);
    send_to_log("LOG_NOTICE", rt::to_str(start_record));
    if (py::object file = open_report_file(self); !file.is_none()) {
        write_report_line(file, line);
    }
    echo(self, line);
}

void send_critical_message(py::object self, py::object msg) {
    call_method(self, method::send_report, attr(global("ErrorLevel"), "CRITICAL"), msg);
}

void send_error_message(py::object self, py::object msg) {
    call_method(self, method::send_report, attr(global("ErrorLevel"), "ERROR"), msg);
}

void send_warning_message(py::object self, py::object msg) {
    call_method(self, method::send_report, attr(global("ErrorLevel"), "WARNING"), msg);
}

void send_debug_message(py::object, py::object msg) {
    send_to_log("LOG_DEBUG", msg);
}

void send_report_message(py::object self, py::object level, py::object msg) {
    set_attr(self, member::error_count,
             rt::steal(PyNumber_Add(attr(self, member::error_count).ptr(), py::int_(1).ptr())));
    const std::string level_name = rt::to_utf8(attr(level, "name"));
    // A message or path that carries undecodable file-name bytes would make both
    // the system log and the report file refuse the whole line; escape those
    // bytes instead, so that the finding is not lost.
    const std::string message = rt::to_utf8_escaped(rt::steal(PyObject_Str(msg.ptr())));
    const std::string path =
        rt::to_utf8_escaped(rt::steal(PyObject_Str(attr(self, member::report_file_path).ptr())));
    send_to_log("LOG_CRIT", rt::to_str(finding_record(level_name, message, path)));
    const std::string line = stamped(self, finding_text(level_name, message));
    if (py::object file = open_report_file(self); !file.is_none()) {
        write_report_line(file, line);
    }
    echo(self, line);
}

void send_end_check_message(py::object self) {
    const std::string count = rt::text_of(attr(self, member::error_count));
    const std::string line = stamped(self, std::string(end_text_prefix) + count);
    send_to_log("LOG_NOTICE", rt::to_str(end_record(count)));
    global("syslog").attr("closelog")();
    g_log_closed = true;
    if (py::object file = open_report_file(self); !file.is_none()) {
        write_report_line(file, line);
        file.attr("close")();
    }
    echo(self, line);
    set_attr(self, member::error_count, py::int_(0));
}

void test(py::object self) {
    call_method(self, method::send_start);
    for (const char *sender : {method::send_critical, method::send_error, method::send_warning}) {
        call_method(self, sender, rt::to_str(self_test_text));
    }
    call_method(self, method::send_end);
}

} // namespace tarno::engine
