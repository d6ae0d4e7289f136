#include "tests/run_tool.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <stdexcept>

#include "cli/run.h"
#include "tests/temp_dir.h"

namespace {

void redirect(const std::string& path, int fd, int flags) {
  const int o = open(path.c_str(), flags, 0600);
  dup2(o, fd);
  close(o);
}

// Forks a child whose standard error (and standard output, unless `child`
// changes it) go to scratch files, runs `child` there with argv, and waits.
run_result spawn(const char* argv0, const std::vector<std::string>& args,
                 const std::function<void(char**, const std::string&)>& child) {
  temp_dir scratch;
  const std::string out_path = scratch.file("stdout");
  const std::string err_path = scratch.file("stderr");
  const std::string peak_path = scratch.file("decoders");
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(argv0));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    redirect(out_path, 1, O_WRONLY | O_CREAT | O_TRUNC);
    redirect(err_path, 2, O_WRONLY | O_CREAT | O_TRUNC);
    child(argv.data(), peak_path);
    _exit(127);
  }
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0) {
  }
  run_result r;
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  r.out = read_file(out_path);
  r.err = read_file(err_path);
  const std::string peak = read_file(peak_path);
  if (!peak.empty()) r.decoders_peak = std::stoul(peak);
  return r;
}

}  // namespace

run_result run_braidlogs_in_child(const std::vector<std::string>& args, void (*prepare)(),
                                  const decode_plan& plan) {
  return spawn("braidlogs", args, [&](char** argv, const std::string& peak_path) {
    if (prepare != nullptr) prepare();
    size_t decoders = 0;
    decode_plan counted = plan;
    counted.decoders_peak = &decoders;
    const int status = braidlogs_run(static_cast<int>(args.size() + 1), argv, counted);
    const std::string peak = std::to_string(decoders);
    const int fd = open(peak_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || write(fd, peak.data(), peak.size()) != static_cast<ssize_t>(peak.size())) _exit(126);
    close(fd);
    _exit(status);
  });
}

run_result run_braidcat_in_child(const std::vector<std::string>& args,
                                 const std::string& stdin_path, const decode_plan& plan) {
  return spawn("braidcat", args, [&](char** argv, const std::string&) {
    redirect(stdin_path.empty() ? "/dev/null" : stdin_path, 0, O_RDONLY);
    std::fflush(stdout);
    const int status = braidcat_run(static_cast<int>(args.size() + 1), argv, plan);
    std::fflush(stdout);
    _exit(status);
  });
}

run_result run_braidlogs(const std::vector<std::string>& args,
                         const run_options& opt) {
  return spawn(BRAIDLOGS_BIN, args, [&](char** argv, const std::string&) {
    switch (opt.out) {
      case stdout_to::file:
        break;
      case stdout_to::dev_full:
        redirect("/dev/full", 1, O_WRONLY);
        break;
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
    execv(argv[0], argv);
  });
}

ino_t inode_of(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) throw std::runtime_error("cannot stat " + path);
  return st.st_ino;
}
