#pragma once
// The one base of every exception the system raises. Messages follow the house rule of
// joining the caller's text and the cause with ": " (see JoinMessage).

#include <exception>
#include <string>

namespace corvan {

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : FMessage(std::move(message)) {}
    const char* what() const noexcept override { return FMessage.c_str(); }
    const std::string& Message() const noexcept { return FMessage; }

private:
    std::string FMessage;
};

// An exception of the network layer: a message and an integer error code.
class ECodedException : public Exception {
public:
    ECodedException(std::string message, int errorCode)
        : Exception(std::move(message)), ErrorCode(errorCode) {}
    int ErrorCode;
};

// "caller text: cause text"; either part may be empty, then no separator is added.
inline std::string JoinMessage(const std::string& text, const std::string& cause) {
    if (text.empty())
        return cause;
    if (cause.empty())
        return text;
    return text + ": " + cause;
}

} // namespace corvan
