#include "tests/run_tool.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
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
                 const std::function<void(char**)>& child) {
  temp_dir scratch;
  const std::string out_path = scratch.file("stdout");
  const std::string err_path = scratch.file("stderr");
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(argv0));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    redirect(out_path, 1, O_WRONLY | O_CREAT | O_TRUNC);
    redirect(err_path, 2, O_WRONLY | O_CREAT | O_TRUNC);
    child(argv.data());
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

}  // namespace

namespace {

size_t open_descriptors() {
  size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++n;
  }
  return n;
}

// Runs `command` here on args, as if started as `name`, with its
// descriptors on scratch files.
run_result run_here(int (*command)(int, char**, const run_seams&, const run_fds&),
                    const char* name, const std::vector<std::string>& args,
                    const std::string& stdin_path, run_seams seams) {
  temp_dir scratch;
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(name));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  run_fds fds;
  fds.in = open(stdin_path.empty() ? "/dev/null" : stdin_path.c_str(), O_RDONLY | O_CLOEXEC);
  fds.out = open(scratch.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  fds.err = open(scratch.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fds.in < 0 || fds.out < 0 || fds.err < 0) throw std::runtime_error("no scratch files");
  size_t decoders = 0;
  if (seams.plan.decoders_peak == nullptr) seams.plan.decoders_peak = &decoders;
  run_result r;
  const size_t open_before = open_descriptors();
  r.status = command(static_cast<int>(args.size() + 1), argv.data(), seams, fds);
  // A run in a process that goes on leaves nothing open behind it.
  EXPECT_EQ(open_descriptors(), open_before) << name << " left descriptors open";
  for (const int fd : {fds.in, fds.out, fds.err}) close(fd);
  r.out = read_file(scratch.file("out"));
  r.err = read_file(scratch.file("err"));
  r.decoders_peak = *seams.plan.decoders_peak;
  return r;
}

}  // namespace

run_seams with_plan(const decode_plan& plan) {
  run_seams seams;
  seams.plan = plan;
  return seams;
}

run_seams with_seams(const read_seam& reads, const write_seam& writes, const decode_plan& plan) {
  run_seams seams;
  seams.reads = reads;
  seams.writes = writes;
  seams.plan = plan;
  return seams;
}

run_result run_braidlogs_here(const std::vector<std::string>& args, run_seams seams) {
  return run_here(braidlogs_run, "braidlogs", args, {}, seams);
}

run_result run_braidcat_here(const std::vector<std::string>& args, const std::string& stdin_path,
                             run_seams seams) {
  return run_here(braidcat_run, "braidcat", args, stdin_path, seams);
}

run_result run_braidlogs(const std::vector<std::string>& args,
                         const run_options& opt) {
  return spawn(BRAIDLOGS_BIN, args, [&](char** argv) {
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
