// Running other programs (desktop settings tools and the like) and waiting
// for them, with their standard output captured; telling state left by an
// earlier process apart from state a running one owns; finding and ending
// running programs by name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vantor::platform {

// The full path of `name` found on PATH, empty when there is none.
std::string findProgram(const std::string& name);

// Runs argv[0] (looked up on PATH) with the arguments, standard input empty,
// standard output captured into `output` (when not null, at most 1 MiB kept)
// and standard error discarded. Waits at most `timeoutMs` (then kills it).
// `extraEnv` entries ("NAME=value") are added to the environment.
// True when the program ran and exited; its status is in `exitCode`.
bool runProcess(const std::vector<std::string>& argv, std::string* output, int& exitCode, int timeoutMs = 10000,
                const std::vector<std::string>& extraEnv = {});

// A long-running child program. It starts with standard input empty and its
// standard output and error on one pipe that we read, inherits no other
// descriptor of ours, runs in a process group of its own (terminal signals
// are for us), and is killed when the thread that started it ends
// (PR_SET_PDEATHSIG on Linux): a parent that crashes or is killed leaves none
// behind, so start it from a thread that lives as long as the child should.
class ChildProcess {
 public:
  ChildProcess() = default;
  // terminate(1000) when still running.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Runs `program` (a path) with `argv` (argv[0] included) and the
  // environment plus `extraEnv` ("NAME=value", replacing the same name).
  // False with `error` when it could not be started.
  bool start(const std::string& program, const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
             std::string& error);
  int pid() const { return pid_; }
  // Waits up to `timeoutMs` for output and appends each complete line (without
  // its line end; at most 4 KiB, longer ones are cut) to `lines`. False once the
  // pipe is closed (the child and whatever it started have closed it).
  bool readLines(std::vector<std::string>& lines, int timeoutMs);
  // Whether the child still runs; reaps it when it has ended.
  bool alive();
  // How it ended ("exited with status 1", "killed by signal 9"), once alive()
  // was false.
  const std::string& endText() const { return endText_; }
  // Asks the child to end (SIGTERM), kills it after `graceMs`, reaps it.
  void terminate(int graceMs);

 private:
  void closeOutput();
  int pid_ = -1;
  int output_ = -1;
  std::string partial_;
  std::string endText_;
};

int currentProcessId();
// When the process started (in the system's own clock ticks since boot), 0
// when there is no such process. With the id it names one process for good:
// a reused id has another start time.
uint64_t processStartTime(int pid);

// The running processes, found by the file name of their executable.
struct ProcessEntry {
  int pid = 0;
  std::string name;  // file name of the executable, without its folder
};

// The running processes whose executable this user may see. An empty list
// when the process table cannot be read.
std::vector<ProcessEntry> listProcesses();
// Asks each process to end, and ends those still running after `graceMs`
// by force. Processes that are gone or not ours are skipped.
void terminateProcesses(const std::vector<int>& pids, int graceMs);

}  // namespace vantor::platform
