// SPDX-License-Identifier: LGPL-2.1-or-later
/// Replacing a configuration file as a whole, so that nobody ever reads half of it.
/// No Python here.
#pragma once

#include <sys/types.h>

#include <stdexcept>
#include <string>
#include <string_view>

namespace tarno {

/// How a file that does not exist yet is made.
struct NewFile {
    mode_t mode; ///< creation mode, reduced by the process umask
    bool exact;  ///< then set to exactly `mode` before the first byte is written
};

/// What `replace_file` throws for a target that is neither a regular file nor a
/// folder (a FIFO, a device, a socket): renaming over it would take it away from
/// the host (a rules file linked to /dev/null would cost the host its null device).
struct NotRegularFile : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/// Replaces the file at `path` by one that holds `content`, or makes it when it
/// is missing.
///
/// The new file is written in the same folder under no name at all (or, where the
/// file system cannot do that, under a name that begins with a dot and does not
/// end in ".conf" or ".rules", so that no configuration glob reads it), flushed to
/// the disk, given the owner and group of the file it replaces and then its
/// permission bits (in that order: a change of owner clears set-user-ID and
/// set-group-ID bits), renamed over the target, and the folder is flushed too. An
/// owner or group that the process may not give keeps the process's own. A
/// symbolic link at `path` is followed: the file it points to is replaced and the
/// link stays.
///
/// Either the whole new file is in place or, on failure, the old one is exactly as
/// it was and nothing new is left behind; a process killed at any moment leaves
/// one or the other. Throws `NotRegularFile` for a target (after its links) that
/// is not a regular file, a folder giving EISDIR, and otherwise
/// `std::system_error` with the failing call's error number; a folder that cannot be flushed after
/// the rename is reported too, with the new file in place (it may not survive a crash).
void replace_file(const std::string &path, std::string_view content, NewFile new_file);

} // namespace tarno
