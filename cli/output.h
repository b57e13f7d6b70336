// Where the reply goes: the library writes only to a named file, so
// standard output goes through a FIFO of the tool's own (or, with the head
// in front of the body, a file), and a discarded reply through a file; so
// does a body read from standard input.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "options.h"

namespace cli {

// A private folder for those files, removed with them when the tool ends,
// also by SIGINT, SIGTERM or SIGHUP.
class Scratch {
public:
    Scratch() = default;
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch();
    // The path of a file named name inside the folder, made on first use;
    // empty, with the system's reason, when the folder cannot be made.
    std::string file(const char* name, std::string* why);

private:
    std::string dir_;
};

// Copies standard input into path; false with the reason.
bool spoolStandardInput(const std::string& path, std::string* why);

struct Delivery {
    enum class Sink { File, StandardOutput, Discard } sink = Sink::Discard;
    std::string target;       // Sink::File: the user's file
    std::string libraryPath;  // the file the library writes
    bool direct = false;      // the library writes the target itself
    bool stream = false;      // the body goes to standard output while it arrives
    bool keepable = false;    // the target is a regular file or none yet (not a
                              // device or FIFO): its old file can stay until a
                              // new one is whole
};

// Where inv's reply goes; libraryPath is left empty unless the library
// writes the target directly (the caller gives it a scratch file).
Delivery planDelivery(const Invocation& inv);

// Passes a reply body on to standard output while it arrives, in constant
// memory and disk: the library writes into a FIFO of the tool's own, and a
// thread of the stream's copies what comes out of it. Standard output stays
// the descriptor the shell gave, so a file opened with >> keeps its appending.
class BodyStream {
public:
    BodyStream() = default;
    BodyStream(const BodyStream&) = delete;
    BodyStream& operator=(const BodyStream&) = delete;
    ~BodyStream();
    // Makes the FIFO at path and starts reading it, so that the library's
    // open finds a reader; false with the reason.
    bool start(const std::string& path, std::string* why);
    // Once the call has returned (and closed its end): copies the rest;
    // false with the reason when standard output failed.
    bool finish(std::string* why);
    // The bytes passed on.
    int64_t passed() const { return passed_.load(); }

private:
    void copy();

    int fd_ = -1;
    std::thread thread_;
    std::atomic<bool> callOver_{false};
    std::atomic<int64_t> passed_{0};
    int error_ = 0;  // errno of a failed write to standard output
};

bool writeAll(int fd, const std::string& bytes, std::string* why);

// Writes head (may be empty) and then the body file's bytes to fd.
bool writeHeadAndBody(int fd, const std::string& head, const std::string& body, std::string* why);

// Creates or empties path and writes head and the body file into it.
bool writeFile(const std::string& path, const std::string& head, const std::string& body,
               std::string* why);

// Writes head and the body file into a new file beside path (the file a
// link leads to), puts it on the disk and renames it over path in one
// step; path keeps its old file when anything fails, and the new file is
// removed. The new file takes the old one's permission bits, or those of a
// plain create.
bool replaceFile(const std::string& path, const std::string& head, const std::string& body,
                 std::string* why);

// The file's size, or -1 when it does not exist or is no regular file.
int64_t regularFileSize(const std::string& path);

}  // namespace cli
