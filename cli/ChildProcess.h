// Other processes for kvb --all: one kvb per device, started with an argument vector (never a
// command text a shell reads), its output and errors read through pipes. Platform code in
// posix/ and windows/.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace kvb {

class ChildProcess {
  public:
    // Starts Program with Args (Args[0] is the name it is given); its input is the null device,
    // its standard output and error are pipes to this process. Raises Failure when it cannot.
    ChildProcess(const std::string& Program, const std::vector<std::string>& Args);
    ~ChildProcess(); // waits for the child when Wait was not called
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // Up to Size bytes of its standard output (Stream 1) or error (Stream 2); blocks until there
    // are some. 0 at the end. Each stream may be read on a thread of its own.
    int Read(int Stream, char* Buffer, int Size);
    // Waits for its end: its exit status, 128 + N when signal N ended it.
    int Wait();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The file of this program, to start it again (argv0 when the system cannot tell).
std::string OwnProgram(const char* argv0);
// Sets a variable of this process's environment, which the children started later inherit.
void SetEnvironment(const std::string& Name, const std::string& Value);
// The arguments of this process as UTF-8, kvb's text for everything typed: on Windows from the
// process's wide command line (the code page's argv when that cannot be split the same way),
// with the console showing UTF-8 while kvb runs; elsewhere as given, the terminal's text being
// UTF-8.
std::vector<std::string> Utf8Arguments(int Argc, char** Argv);
// True when standard error is a terminal that takes cursor movements (turned on where needed).
bool LiveOutput();

} // namespace kvb
