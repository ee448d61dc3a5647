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
