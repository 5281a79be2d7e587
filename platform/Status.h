// The one way the engine reports a failure to its callers: a code a caller
// can branch on and a message a person can read. Every layer below the
// front ends returns one (or a value and one) where an operation can fail
// for a reason worth telling; the front ends turn it into their own output
// (the command line: an error line and an exit status).
#pragma once

#include <string>
#include <utility>

enum class StatusCode {
    Ok = 0,
    Stopped,          // the caller asked the work to stop
    InvalidArgument,  // what the caller asked for cannot be done as asked
    NotFound,         // no such item, file, device or file system
    ReadError,        // the source could not be read
    WriteError,       // a destination could not be written
    Corrupt,          // on-disk structures are damaged or inconsistent
    Ambiguous,        // the bytes fit more than one reading; none is guessed
    Unsupported,      // a valid structure this system does not handle
    Failed,           // anything else
};

class Status {
public:
    Status() = default;  // success
    Status(StatusCode code, std::string message) : m_code(code), m_message(std::move(message)) {}

    static Status Ok() { return {}; }
    bool ok() const { return m_code == StatusCode::Ok; }
    StatusCode code() const { return m_code; }
    const std::string& message() const { return m_message; }

private:
    StatusCode m_code = StatusCode::Ok;
    std::string m_message;
};

// The system's text for an errno value ("No space left on device").
std::string ErrnoText(int err);
// A failure with the system's text for errno appended: "<what>: <text>".
Status ErrnoStatus(StatusCode code, const std::string& what, int err);
