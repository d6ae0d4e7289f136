#include "cli/run.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <new>

#include "cli/messages.h"
#include "cli/progress.h"
#include "input/log_input.h"
#include "merge/merge.h"
#include "output/output.h"
#include "output/pipe_size.h"

namespace {

constexpr const char* kTrailingGarbage = "trailing garbage after compressed data";

// The pipe size asked for when standard output is a pipe: the largest an
// unprivileged Linux process may set by default.
constexpr int kWidePipe = 1024 * 1024;

// Gives any closed standard descriptor a harmless stand-in before inputs
// are opened, so that no input lands on descriptor 1 and gets the merge
// written into it. Standard output stands in read-only: writing to it then
// fails, and a closed standard output is reported, not silently ignored.
void guard_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int got = ::open("/dev/null", fd == 2 ? O_WRONLY : O_RDONLY);
    if (got >= 0 && got != fd) {
      ::dup2(got, fd);
      ::close(got);
    }
  }
}

// Every input stays open until it runs dry, so the number of inputs is
// bounded by the descriptor limit: lift the soft limit as high as the hard
// limit allows.
void raise_descriptor_limit() {
  struct rlimit rl;
  if (::getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == rl.rlim_max) return;
  rl.rlim_cur = rl.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &rl);
}

// Opens and primes every input in command-line order, reading a few
// inputs' first lines at once. The first failure in that order is reported
// and ends start-up, before anything is written.
bool start_inputs(input_set* set, log_input* inputs, const char** refused, size_t n,
                  char** paths) {
  struct stat out;
  if (::fstat(STDOUT_FILENO, &out) != 0) out.st_mode = 0;
  const char* kIsOutput = "input file is output file";
  size_t at_once = inputs_at_once(set);
  size_t opened = 0;
  auto open_one = [&](size_t i) -> const char* {
    log_input& in = inputs[i];
    if (!input_open(in, paths[i], set)) return input_error_text(in);
    // Merging a file into itself would read back its own output without
    // end (with >>) or find it emptied (with >), so it is refused.
    if (S_ISREG(out.st_mode) && input_is_file(in, out.st_dev, out.st_ino)) return kIsOutput;
    input_start(in);
    return nullptr;
  };
  for (size_t i = 0; i < n; ++i) {
    log_input& in = inputs[i];
    const char* path = paths[i];
    progress_opening(i + 1, n);
    for (; opened < n && opened < i + at_once; ++opened) refused[opened] = open_one(opened);
    if (refused[i] != nullptr) {
      print_input_failure(path, refused[i]);
      return false;
    }
    input_status st = input_next(in);
    if (st == input_status::failed && at_once > 1 && input_out_of_memory(in)) {
      // Reading first lines at once ran out of memory: what the inputs
      // opened ahead hold goes back, and the rest are read one at a time,
      // so that what merges depends on no more than one input's needs.
      for (size_t j = i; j < opened; ++j) input_release(inputs[j]);
      inputs_free_spare(set);
      at_once = 1;
      opened = i + 1;
      const char* why = open_one(i);
      if (why != nullptr) {
        print_input_failure(path, why);
        return false;
      }
      st = input_next(in);
    }
    switch (st) {
      case input_status::ok:
        input_wait_turn(in);  // start-up holds one input's decoder at a time
        break;
      case input_status::dry:
        if (input_trailing_garbage(in)) {  // no line, but something else
          print_input_failure(path, kTrailingGarbage);
        } else {
          print_empty_input(path);
        }
        return false;
      case input_status::failed:
      case input_status::would_block:  // not asked for at start-up
        print_input_failure(path, input_error_text(in));
        return false;
    }
  }
  return true;
}

// Merges the primed inputs to standard output and reports how it ended.
int merge_to_stdout(log_input* inputs, size_t n) {
  widen_pipe(STDOUT_FILENO, kWidePipe);
  output out;
  if (!output_open(out, STDOUT_FILENO)) {
    print_no_memory();
    return 1;
  }
  out.after_write = progress_tick;
  progress_start(inputs, n, out);
  merge_hooks hooks;
  hooks.input_failed = [](const log_input& in, void*) {
    print_input_failure(in.path, input_error_text(in));
  };
  hooks.waiting = progress_waiting;
  const merge_result r = merge_inputs(inputs, n, out, hooks);
  int status = 1;
  switch (r.status) {
    case merge_status::done:
      status = 0;
      break;
    case merge_status::inputs_failed:  // each reported as the merge reached it
      break;
    case merge_status::write_failed:
      print_write_error(out.error);
      break;
    case merge_status::no_memory:
      print_no_memory();
      break;
  }
  // Inputs whose compressed data was followed by garbage were merged to
  // their last whole member; say so now, once each, in command-line order.
  for (size_t i = 0; i < n; ++i) {
    if (input_trailing_garbage(inputs[i])) {
      print_input_failure(inputs[i].path, kTrailingGarbage);
      status = 1;
    }
  }
  output_close(out);
  return status;
}

}  // namespace

int braidlogs_run(int argc, char** argv, const decode_plan& plan) {
  if (argc < 3) {
    print_usage();
    return 1;
  }
  guard_standard_descriptors();
  raise_descriptor_limit();

  const size_t n = static_cast<size_t>(argc - 1);
  std::unique_ptr<log_input[]> inputs(new (std::nothrow) log_input[n]);
  // Why each input opened ahead of its turn at start-up failed, or null.
  std::unique_ptr<const char*[]> refused(new (std::nothrow) const char*[n]());
  input_set* set = inputs != nullptr && refused != nullptr ? inputs_begin(n, plan) : nullptr;
  if (set == nullptr) {
    print_no_memory();
    return 1;
  }
  progress_begin();
  const int status = start_inputs(set, inputs.get(), refused.get(), n, argv + 1)
                         ? merge_to_stdout(inputs.get(), n)
                         : 1;
  for (size_t i = 0; i < n; ++i) input_release(inputs[i]);
  inputs_end(set);
  progress_erase();
  return status;
}
