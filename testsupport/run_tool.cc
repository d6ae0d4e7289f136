#include "testsupport/run_tool.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "driver/run.h"
#include "testsupport/temp_dir.h"

namespace {

run_result wait_for(pid_t pid, const std::string& out_path, const std::string& err_path) {
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0) {
  }
  run_result r;
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  r.out = read_file(out_path);
  r.err = read_file(err_path);
  return r;
}

void redirect(const std::string& path, int fd) {
  const int o = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(o, fd);
  close(o);
}

}  // namespace

run_result run_braidlogs_in_child(const std::vector<std::string>& args,
                                  void (*prepare)()) {
  temp_dir scratch;
  const std::string out_path = scratch.file("stdout");
  const std::string err_path = scratch.file("stderr");
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>("braidlogs"));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    redirect(out_path, 1);
    redirect(err_path, 2);
    prepare();
    _exit(braidlogs_run(static_cast<int>(argv.size() - 1), argv.data()));
  }
  return wait_for(pid, out_path, err_path);
}

run_result run_braidlogs(const std::vector<std::string>& args,
                         const run_options& opt) {
  temp_dir scratch;
  const std::string out_path = scratch.file("stdout");
  const std::string err_path = scratch.file("stderr");

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(BRAIDLOGS_BIN));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    redirect(err_path, 2);
    switch (opt.out) {
      case stdout_to::file:
        redirect(out_path, 1);
        break;
      case stdout_to::dev_full: {
        const int o = open("/dev/full", O_WRONLY);
        dup2(o, 1);
        close(o);
        break;
      }
      case stdout_to::closed:
        close(1);
        break;
    }
    if (opt.soft_fd_limit > 0) {
      struct rlimit rl;
      getrlimit(RLIMIT_NOFILE, &rl);
      rl.rlim_cur = static_cast<rlim_t>(opt.soft_fd_limit);
      setrlimit(RLIMIT_NOFILE, &rl);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  return wait_for(pid, out_path, err_path);
}
