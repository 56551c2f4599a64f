// A redis-server of the test's own, from scripts/launch_servers.py, for tests
// that need a password or must stop the server mid-session. The launcher
// stops it when the object goes, and also when this process dies: it then
// reads the end of its input.
#ifndef TAVRIN_TESTS_CPP_SCRATCH_SERVERS_H_
#define TAVRIN_TESTS_CPP_SCRATCH_SERVERS_H_

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <string>

extern char** environ;

namespace tavrin::testing {

class ScratchRedis {
 public:
  // `extra` goes to the redis-server command line.
  explicit ScratchRedis(const std::string& extra = "") {
    signal(SIGPIPE, SIG_IGN);  // a launcher that died is an answer, not our end
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    to_ = in[1];
    from_ = out[0];
    posix_spawn_file_actions_t io;
    posix_spawn_file_actions_init(&io);
    posix_spawn_file_actions_adddup2(&io, in[0], 0);
    posix_spawn_file_actions_adddup2(&io, out[1], 1);
    char python[] = "python3", script[] = TAVRIN_SOURCE_DIR "/scripts/launch_servers.py";
    char* argv[] = {python, script, nullptr};
    if (posix_spawnp(&launcher_, python, &io, nullptr, argv, environ) != 0) launcher_ = 0;
    posix_spawn_file_actions_destroy(&io);
    close(in[0]);
    close(out[1]);
    answer_ = Call("redis r " + extra);
    std::string status;
    std::istringstream(answer_) >> status >> port_ >> pid_;
    started_ = status == "ok";
  }
  ~ScratchRedis() {
    close(to_);
    if (launcher_ > 0) waitpid(launcher_, nullptr, 0);
    close(from_);
  }
  ScratchRedis(const ScratchRedis&) = delete;
  ScratchRedis& operator=(const ScratchRedis&) = delete;

  bool started() const { return started_; }
  const std::string& answer() const { return answer_; }  // says why it did not start
  std::string connection_string(const std::string& extra = "") const {
    return "host:127.0.0.1,port:" + std::to_string(port_) + ",db:0" + extra;
  }
  // SIGSTOP freezes the server, a peer that keeps its socket but never
  // answers; SIGCONT resumes it.
  void Signal(int sig) { if (started_) kill(pid_, sig); }
  // Ends the server at once; returns once its port refuses connections.
  void Kill() { Call("kill r"); }

 private:
  std::string Call(const std::string& command) {
    const std::string line = command + "\n";
    std::string answer;
    char c;
    if (launcher_ > 0 && write(to_, line.data(), line.size()) == ssize_t(line.size()))
      while (read(from_, &c, 1) == 1 && c != '\n') answer += c;
    return answer.empty() ? "error no launcher" : answer;
  }

  pid_t launcher_ = 0;
  int to_ = -1, from_ = -1;  // the launcher's input and output
  std::string answer_;
  int port_ = 0;
  pid_t pid_ = 0;
  bool started_ = false;
};

}  // namespace tavrin::testing

#endif  // TAVRIN_TESTS_CPP_SCRATCH_SERVERS_H_
