#include "testsupport/run_tool.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "testsupport/temp_dir.h"

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
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(err, 2);
    switch (opt.out) {
      case stdout_to::file: {
        const int o = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(o, 1);
        close(o);
        break;
      }
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
    close(err);
    if (opt.soft_fd_limit > 0) {
      struct rlimit rl;
      getrlimit(RLIMIT_NOFILE, &rl);
      rl.rlim_cur = static_cast<rlim_t>(opt.soft_fd_limit);
      setrlimit(RLIMIT_NOFILE, &rl);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0) {
  }
  run_result r;
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  r.out = read_file(out_path);
  r.err = read_file(err_path);
  return r;
}
