// SPDX-License-Identifier: LGPL-2.1-or-later
/// Construction of an inspector and the report channel: system log, report file,
/// standard output, and the error counter.
#include "engine/core/texts.hpp"
#include "engine/inspector/methods.hpp"

#include <optional>

namespace tarno::engine {
namespace {

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
    syslog.attr("syslog")(rt::attr(syslog, priority), text);
}

/// The report file while it is open; None before it is opened, when it could not
/// be opened, and after the end message closed it (a line that arrives then goes
/// to the system log and standard output only, and the file stays as it was).
py::object open_report_file(py::handle self) {
    py::object file = get(self, member::report_file);
    if (file.is_none()) {
        return file;
    }
    py::object closed = rt::optional_attr(file, "closed");
    return closed && rt::truthy(closed) ? py::none() : file;
}

/// Writes one report-file line and flushes it, so that findings already made
/// survive a run that ends by an exception or a killed process. A line that the
/// file does not take (no space, an I/O error) must not end the run: the file is
/// closed and skipped from then on, as after the end message, and the text of the
/// failure is returned for `report_write_failure`; nothing is returned otherwise.
std::optional<py::str> write_report_line(py::handle self, py::handle file,
                                         const std::string &line) {
    try {
        file.attr("write")(rt::to_str(line + "\n"));
        file.attr("flush")();
        return std::nullopt;
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_OSError)) {
            throw;
        }
        py::str text = rt::error_text(error);
        try {
            // Closing flushes again and fails again, but the file is closed anyway.
            file.attr("close")();
        } catch (py::error_already_set &again) {
            if (!rt::is_ordinary(again)) {
                throw;
            }
        }
        if (!open_report_file(self).is_none()) {
            set(self, member::report_file, Py_None); // a file object that stays open
        }
        return text;
    }
}

/// Reports, once, that the report file could not be written; the finding goes to
/// the system log (and standard output) and is counted like any other.
void report_write_failure(py::handle self, const std::optional<py::str> &failure) {
    if (!failure) {
        return;
    }
    const std::string path = rt::to_utf8_escaped(rt::str_of(get(self, member::report_file_path)));
    call(self, method::send_error_message,
         rt::concat(rt::to_str("report file " + path + " could not be written: "), *failure));
}

/// Prints the line when the inspector is verbose.
void echo(py::handle self, const std::string &line) {
    if (rt::truthy(get(self, member::verbose))) {
        global("print")(rt::to_str(line));
    }
}

/// The report-file line of `text`, stamped by the inspector's template.
std::string stamped(py::handle self, std::string_view text) {
    return rt::to_utf8(call(self, method::msg_template, rt::to_str(text)));
}

} // namespace

void init(py::object self, py::object report_file, py::object cfg, py::object block,
          py::object verbose) {
    set(self, member::cfg, cfg);
    set(self, member::verbose, verbose);
    set(self, member::block, block);
    set(self, member::report_file_path, global("Path")(report_file));
    set(self, member::report_file, Py_None);
    set(self, member::error_count, py::int_(0));
    call(self, method::setup, get(self, member::report_file_path));
}

void setup(py::object self, py::object report_file) {
    open_log();
    py::object default_dir;
    bool repaired = true;
    try {
        default_dir = get(self, attribute::default_dir);
        if (!rt::truthy(default_dir.attr("exists")())) {
            py::str path = rt::str_of(default_dir);
            call(self, method::send_error_message, rt::concat(path, rt::to_str(does_not_exist)));
            make_folder(self, default_dir);
            call(self, method::send_warning_message,
                 rt::concat(path, rt::to_str(partially_restored)));
        }
    } catch (py::error_already_set &error) {
        report_ordinary(self, method::send_error_message, error, Reported::text);
        repaired = false;
    }
    // A report directory that cannot be created must not cost the caller a report
    // file that lies elsewhere; one inside it could not be opened anyway, and its
    // absence is already reported.
    try {
        if (repaired || !default_dir || !rt::attr(report_file, "parent").equal(default_dir)) {
            set(self, member::report_file, global("open")(report_file, "w"));
        }
    } catch (py::error_already_set &error) {
        report_ordinary(self, method::send_error_message, error, Reported::text);
    }
}

py::object msg_template(py::object message) {
    py::object now = global("datetime").attr("now")(global("tz").attr("tzlocal")());
    return rt::to_str(report_line(rt::to_utf8(now.attr("isoformat")()), rt::text_of(message)));
}

void send_start_check_message(py::object self) {
    set(self, member::error_count, py::int_(0));
    const std::string line = stamped(self, start_text);
    send_to_log("LOG_NOTICE", rt::to_str(start_record));
    std::optional<py::str> failure;
    if (py::object file = open_report_file(self); !file.is_none()) {
        failure = write_report_line(self, file, line);
    }
    echo(self, line);
    report_write_failure(self, failure);
}

void send_critical_message(py::object self, py::object msg) {
    call(self, method::send_report_message, global("ErrorLevel").attr("CRITICAL"), msg);
}

void send_error_message(py::object self, py::object msg) {
    call(self, method::send_report_message, global("ErrorLevel").attr("ERROR"), msg);
}

void send_warning_message(py::object self, py::object msg) {
    call(self, method::send_report_message, global("ErrorLevel").attr("WARNING"), msg);
}

void send_debug_message(py::object, py::object msg) {
    send_to_log("LOG_DEBUG", msg);
}

void send_report_message(py::object self, py::object level, py::object msg) {
    set(self, member::error_count,
        rt::steal(PyNumber_Add(get(self, member::error_count).ptr(), py::int_(1).ptr())));
    const std::string level_name = rt::to_utf8(rt::attr(level, "name"));
    // A message or path that carries undecodable file-name bytes would make both
    // the system log and the report file refuse the whole line; escape those
    // bytes instead, so that the finding is not lost.
    const std::string message = rt::to_utf8_escaped(rt::str_of(msg));
    const std::string path = rt::to_utf8_escaped(rt::str_of(get(self, member::report_file_path)));
    send_to_log("LOG_CRIT", rt::to_str(finding_record(level_name, message, path)));
    const std::string line = stamped(self, finding_text(level_name, message));
    std::optional<py::str> failure;
    if (py::object file = open_report_file(self); !file.is_none()) {
        failure = write_report_line(self, file, line);
    }
    echo(self, line);
    report_write_failure(self, failure);
}

void send_end_check_message(py::object self) {
    const std::string count = rt::text_of(get(self, member::error_count));
    const std::string line = stamped(self, std::string(end_text_prefix) + count);
    send_to_log("LOG_NOTICE", rt::to_str(end_record(count)));
    global("syslog").attr("closelog")();
    g_log_closed = true;
    std::optional<py::str> failure;
    if (py::object file = open_report_file(self); !file.is_none()) {
        failure = write_report_line(self, file, line);
        if (!failure) {
            file.attr("close")();
        }
    }
    echo(self, line);
    set(self, member::error_count, py::int_(0));
    // After the end line: the failure is counted, but by no end message.
    report_write_failure(self, failure);
}

} // namespace tarno::engine
