// A redis-server of the test's own on a free loopback port, for tests that
// need a password or must stop the server mid-session without disturbing the
// shared test server. Stopped and removed when the object goes.
#ifndef TAVRIN_TESTS_CPP_SCRATCH_REDIS_H_
#define TAVRIN_TESTS_CPP_SCRATCH_REDIS_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace tavrin::testing {

class ScratchRedis {
 public:
  // `extra` is appended to the redis-server command line. started() tells
  // whether the server answers on its port.
  explicit ScratchRedis(const std::string& extra = "") {
    char dir[] = "/tmp/tavrin-scratch-redis.XXXXXX";
    if (mkdtemp(dir) == nullptr) return;
    dir_ = dir;
    port_ = free_port();
    const std::string cmd = "redis-server --port " + std::to_string(port_) +
                            " --bind 127.0.0.1 --daemonize yes --save '' --appendonly no --dir " +
                            dir_ + " --pidfile " + dir_ + "/pid --logfile " + dir_ + "/log " +
                            extra + " >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) return;
    for (int i = 0; i < 100 && !accepts(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::ifstream pidfile(dir_ + "/pid");
    pidfile >> pid_;
    started_ = pid_ > 0 && accepts();
  }
  ~ScratchRedis() {
    Kill();
    if (!dir_.empty()) std::system(("rm -rf " + dir_).c_str());
  }

  bool started() const { return started_; }
  int port() const { return port_; }
  std::string connection_string(const std::string& extra = "") const {
    return "host:127.0.0.1,port:" + std::to_string(port_) + ",db:0" + extra;
  }
  // Freezes or resumes the server: a peer that keeps its socket open and
  // never answers.
  void Pause() {
    if (pid_ > 0) kill(pid_, SIGSTOP);
  }
  void Resume() {
    if (pid_ > 0) kill(pid_, SIGCONT);
  }
  // Ends the server at once; waits until its port refuses connections.
  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    pid_ = 0;
    for (int i = 0; i < 100 && accepts(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

 private:
  static int free_port() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
  }
  bool accepts() const {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port_));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    close(s);
    return ok;
  }

  std::string dir_;
  int port_ = 0;
  int pid_ = 0;
  bool started_ = false;
};

}  // namespace tavrin::testing

#endif  // TAVRIN_TESTS_CPP_SCRATCH_REDIS_H_
