// Runs the uri-launcher tool once and judges its verdict against what a
// server really received. Shared by the launch tortures.
#pragma once

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace kesu_torture {

struct ToolResult {
    int status = 0;  // as waitpid() gives it
    std::string output;
    std::chrono::milliseconds elapsed{0};
};

inline ToolResult runTool(std::string const& tool, std::string const& uri) {
    int out[2];
    if (::pipe(out) != 0) std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<char*> argv{const_cast<char*>(tool.c_str()), const_cast<char*>(uri.c_str()), nullptr};
    auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        std::perror("posix_spawn");
        std::exit(2);
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ToolResult result;
    char buffer[256];
    ssize_t n;
    while ((n = ::read(out[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, static_cast<size_t>(n));
    ::close(out[0]);
    ::waitpid(pid, &result.status, 0);
    result.elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    return result;
}

inline bool reportedSent(ToolResult const& result) { return result.output == "Message sent\n"; }

// Empty when the run held: exit status 0 with no signal, "Message sent" if
// and only if the URI frame arrived whole, and no longer than `bound`.
inline std::string verdictOf(ToolResult const& result, bool delivered, std::chrono::milliseconds bound) {
    if (!WIFEXITED(result.status)) return "died by signal " + std::to_string(WTERMSIG(result.status));
    if (WEXITSTATUS(result.status) != 0) return "exit status " + std::to_string(WEXITSTATUS(result.status));
    bool timeout = result.output == "Timeout sending message\n";
    if (!reportedSent(result) && !timeout) return "unexpected output";
    if (reportedSent(result) && !delivered) return "\"Message sent\" but the frame never arrived whole";
    if (timeout && delivered) return "timeout reported for a frame that arrived whole";
    if (result.elapsed > bound) return "took " + std::to_string(result.elapsed.count()) + " ms";
    return {};
}

}  // namespace kesu_torture
