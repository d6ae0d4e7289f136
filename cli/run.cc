#include "cli/run.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <malloc.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "cli/messages.h"
#include "cli/progress.h"
#include "input/log_input.h"
#include "merge/merge.h"
#include "output/output.h"

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

// How the command takes what start-up finds: braidlogs ends at the first
// input that cannot be opened, read or holds nothing, before anything is
// written; braidcat reports such an input, leaves it out and goes on (an
// input that holds no text adds nothing and is no error).
struct command {
  const char* name;  // the prefix of its messages
  bool strict;
};
constexpr command kBraidlogs = {"braidlogs", true};
constexpr command kBraidcat = {"braidcat", false};

// One run: the command, what it talks to, and where its messages go.
struct run_context {
  const command& cmd;
  const run_seams& seams;
  const run_fds& fds;
  progress_line line;
  console to;
};

// An input named on the command line: a path, or standard input.
struct input_name {
  const char* path;
  bool standard_input;
};

// Opens and primes every input in command-line order, reading a few
// inputs' first lines at once. Strict, the first failure in that order is
// reported and ends start-up, before anything is written (false); else
// each failure is reported, that input ends, and *failed is set.
bool start_inputs(run_context& run, input_set* set, log_input* inputs, const char** refused,
                  size_t n, const input_name* names, bool* failed) {
  const command& cmd = run.cmd;
  struct stat out;
  if (::fstat(run.fds.out, &out) != 0) out.st_mode = 0;
  const char* kIsOutput = "input file is output file";
  size_t at_once = inputs_at_once(set);
  size_t opened = 0;
  auto open_one = [&](size_t i) -> const char* {
    log_input& in = inputs[i];
    const bool ok = names[i].standard_input
                        ? input_open_fd(in, run.fds.in, names[i].path, set)
                        : input_open(in, names[i].path, set);
    if (!ok) return input_error_text(in);
    // Merging a file into itself would read back its own output without
    // end (with >>) or find it emptied (with >), so it is refused.
    if (S_ISREG(out.st_mode) && input_is_file(in, out.st_dev, out.st_ino)) return kIsOutput;
    input_start(in);
    return nullptr;
  };
  // Lenient: an input that fails is reported, and left out.
  auto leave_out = [&](log_input& in, const char* path, const char* why) {
    print_input_failure(run.to, cmd.name, path, why);
    input_release(in);
    *failed = true;
  };
  for (size_t i = 0; i < n; ++i) {
    log_input& in = inputs[i];
    const char* path = names[i].path;
    progress_opening(run.line, i + 1, n);
    for (; opened < n && opened < i + at_once; ++opened) refused[opened] = open_one(opened);
    if (refused[i] != nullptr) {
      if (cmd.strict) {
        print_input_failure(run.to, cmd.name, path, refused[i]);
        return false;
      }
      leave_out(in, path, refused[i]);
      continue;
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
        if (cmd.strict) {
          print_input_failure(run.to, cmd.name, path, why);
          return false;
        }
        leave_out(in, path, why);
        continue;
      }
      st = input_next(in);
    }
    switch (st) {
      case input_status::ok:
        input_wait_turn(in);  // start-up holds one input's decoder at a time
        break;
      case input_status::dry:
        if (input_trailing_garbage(in)) {  // no line, but something else
          if (!cmd.strict) {
            leave_out(in, path, kTrailingGarbage);
            break;
          }
          print_input_failure(run.to, cmd.name, path, kTrailingGarbage);
        } else if (!cmd.strict) {
          input_release(in);  // no text: it adds nothing
          break;
        } else {
          print_empty_input(run.to, path);
        }
        return false;
      case input_status::failed:
      case input_status::would_block:  // not asked for at start-up
        if (!cmd.strict) {
          leave_out(in, path, input_error_text(in));
          break;
        }
        print_input_failure(run.to, cmd.name, path, input_error_text(in));
        return false;
    }
  }
  return true;
}

// Merges the primed inputs to the output and reports how it ended.
int merge_to_output(run_context& run, log_input* inputs, size_t n) {
  const command& cmd = run.cmd;
  widen_pipe(run.fds.out, kWidePipe);
  output out;
  if (!output_open(out, run.fds.out, kOutputBufferSize, run.seams.writes)) {
    print_no_memory(run.to);
    return 1;
  }
  out.after_write = progress_tick;
  out.after_write_arg = &run.line;
  progress_start(run.line, inputs, n, out);
  merge_hooks hooks;
  std::unique_ptr<uint64_t[]> unwritten(new (std::nothrow) uint64_t[n]());
  hooks.unwritten = unwritten.get();
  run.line.unwritten = unwritten.get();
  hooks.input_failed = [](const log_input& in, void* arg) {
    const run_context& r = *static_cast<run_context*>(arg);
    print_input_failure(r.to, r.cmd.name, input_path(in), input_error_text(in));
  };
  hooks.arg = &run;
  hooks.waiting = [](void* arg) { progress_waiting(static_cast<run_context*>(arg)->line); };
  const merge_result r = merge_inputs(inputs, n, out, hooks, run.seams.merge);
  int status = 1;
  switch (r.status) {
    case merge_status::done:
      status = 0;
      break;
    case merge_status::inputs_failed:  // each reported as the merge reached it
      break;
    case merge_status::write_failed:
      print_write_error(run.to, cmd.name, out.error);
      break;
    case merge_status::no_memory:
      print_no_memory(run.to);
      break;
  }
  // Inputs whose compressed data was followed by garbage were merged to
  // their last whole member; say so now, once each, in command-line order.
  for (size_t i = 0; i < n; ++i) {
    if (input_trailing_garbage(inputs[i])) {
      print_input_failure(run.to, cmd.name, input_path(inputs[i]), kTrailingGarbage);
      status = 1;
    }
  }
  run.line.unwritten = nullptr;
  output_close(out);
  return status;
}

// Merges the named inputs, as the command takes them.
int run_command(run_context& run, const input_name* names, size_t n) {
  if (n > PTRDIFF_MAX / sizeof(log_input)) {
    print_no_memory(run.to);
    return 1;
  }
  std::unique_ptr<log_input[]> inputs(new (std::nothrow) log_input[n]);
  // Why each input opened ahead of its turn at start-up failed, or null.
  std::unique_ptr<const char*[]> refused(new (std::nothrow) const char*[n]());
  input_set* set = inputs != nullptr && refused != nullptr
                       ? inputs_begin(n, run.seams.plan, run.seams.reads)
                       : nullptr;
  if (set == nullptr) {
    print_no_memory(run.to);
    return 1;
  }
  progress_begin(run.line, run.seams.clock, run.fds.out, run.fds.err);
  bool failed = false;
  int status = start_inputs(run, set, inputs.get(), refused.get(), n, names, &failed)
                   ? merge_to_output(run, inputs.get(), n)
                   : 1;
  if (failed) status = 1;
  for (size_t i = 0; i < n; ++i) input_release(inputs[i]);
  inputs_end(set);
  progress_erase(run.line);
  return status;
}

// A long option given as an unambiguous start of its name ("--he").
bool long_option(const char* arg, std::string_view name) {
  return arg[2] != '\0' && name.starts_with(arg + 2);
}

}  // namespace

int braidlogs_run(int argc, char** argv, const run_seams& seams, const run_fds& fds) {
  run_context run{kBraidlogs, seams, fds, {}, {}};
  run.to = {fds.out, fds.err, &run.line};
  if (argc < 3) {
    print_usage(run.to);
    return 1;
  }
  // Every argument is a path, whatever it begins with.
  const size_t n = static_cast<size_t>(argc - 1);
  std::unique_ptr<input_name[]> names(new (std::nothrow) input_name[n]);
  if (names == nullptr) {
    print_no_memory(run.to);
    return 1;
  }
  for (size_t i = 0; i < n; ++i) names[i] = {argv[i + 1], false};
  return run_command(run, names.get(), n);
}

int braidcat_run(int argc, char** argv, const run_seams& seams, const run_fds& fds) {
  run_context run{kBraidcat, seams, fds, {}, {}};
  run.to = {fds.out, fds.err, &run.line};
  const size_t args = argc > 1 ? static_cast<size_t>(argc - 1) : 0;
  std::unique_ptr<input_name[]> names(new (std::nothrow) input_name[args + 1]);
  if (names == nullptr) {
    print_no_memory(run.to);
    return 1;
  }
  // Options first, as GNU tools take them, anywhere before "--".
  size_t n = 0;
  bool options = true, standard_input = false;
  for (size_t i = 1; i <= args; ++i) {
    const char* arg = argv[i];
    if (options && std::strcmp(arg, "--") == 0) {
      options = false;
    } else if (options && arg[0] == '-' && arg[1] != 0) {
      if (arg[1] == '-' && (long_option(arg, "help") || long_option(arg, "version"))) {
        const bool written =
            long_option(arg, "help") ? print_braidcat_help(run.to) : print_braidcat_version(run.to);
        // As any output: a write that fails is said, not taken for success.
        if (written) return 0;
        print_write_error(run.to, kBraidcat.name, errno);
        return 1;
      }
      print_bad_option(run.to, arg);
      return 1;
    } else if (std::strcmp(arg, "-") == 0) {
      // Standard input, read once: a second "-" finds it at its end.
      if (!standard_input) names[n++] = {"-", true};
      standard_input = true;
    } else {
      names[n++] = {arg, false};
    }
  }
  if (n == 0) names[n++] = {"-", true};
  return run_command(run, names.get(), n);
}

void prepare_process() {
  guard_standard_descriptors();
  raise_descriptor_limit();
#if defined(M_MMAP_THRESHOLD) && defined(M_TRIM_THRESHOLD)
  // Decoders' windows and decoded blocks of up to a few MiB come and go all
  // through a merge of many files. Keep them in the heap and keep freed
  // memory in the process, rather than handing every such buffer back to
  // the system: each page taken anew costs a fault. (Peak memory does not
  // grow: only memory in use before is kept.)
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
#endif
#if defined(M_ARENA_MAX)
  // One heap for every thread: a decoding thread's own heap is handed back
  // to the system whenever all in it is free, and taken anew, page by
  // page, by the next file's decoder. The threads allocate a buffer a
  // block or a file, too seldom to contend for one heap.
  mallopt(M_ARENA_MAX, 1);
#endif
}
