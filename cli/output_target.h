// Where a command's output goes, and how it gets there without harming what -o names: a regular file
// (or a new one) is written as a temporary file beside it and renamed over it only when complete; a
// character device, a FIFO or standard output gets the complete output copied into it at the end. A
// symbolic link is followed, so the link stays a link and its target is replaced. A temporary file is
// removed also when SIGINT, SIGTERM, SIGHUP or SIGQUIT end the command at any moment.
#pragma once

#include <string>

namespace solvantis {

class OutputTarget {
public:
    // `path` is "-" for standard output. Throws CliError for an empty name, a folder, a missing folder,
    // a block device or socket, standard output that is a terminal, and a file that is read-only (or
    // not ours to write) unless `replaceReadOnly`.
    explicit OutputTarget(const std::string& path, bool replaceReadOnly = false);
    ~OutputTarget();
    OutputTarget(const OutputTarget&) = delete;
    OutputTarget& operator=(const OutputTarget&) = delete;

    // Creates the temporary file to write into (beside the target, or an unnamed one for a stream).
    // Throws CliError when it cannot be made; `elsewhere` (how to write somewhere else) is added when
    // the folder is not ours to write.
    int open(const std::string& elsewhere = {});
    int fd() const { return temporary; }

    // Makes the temporary file the output: renames it over a regular target, or copies it into a
    // stream. Throws CliError when the target refuses it (the temporary is removed either way).
    void commit();
    // Removes the temporary file; the target is left as it was.
    void discard();

    // Throws CliError ("the output file would replace the plug-in '...'") when the output names the
    // file `input` (an empty name is skipped), directly or through links.
    void refuseToReplace(const std::string& input, const std::string& what) const;

    // As the user named it ("-" shown as "standard output").
    const std::string& name() const { return shown; }
    bool isStandardOutput() const { return standardOutput; }

private:
    std::string shown;
    std::string resolved;
    std::string temporaryPath; // empty for an unnamed temporary
    int cleanupSlot = -1;      // where the signal handler finds temporaryPath
    int temporary = -1;
    bool stream = false;
    bool standardOutput = false;
    bool existed = false;
    unsigned mode = 0; // the permissions of the file replaced
};

// An unnamed file in the temporary folder ($TMPDIR, else /tmp), open for reading and writing, removed
// with its descriptor. Throws CliError naming `purpose` ("for --normalize") when it cannot be made.
int openUnnamedTemporary(const std::string& purpose);

// The extension of a path's last part, lower case, with its dot (".wav"); "" when it has none.
std::string extensionOf(const std::string& path);

} // namespace solvantis
