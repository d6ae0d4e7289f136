#include "tests/sample_log.h"

#include <cstdio>

std::string clf_line(const std::string& when, const std::string& what) {
  return "10.0.0.1 - - [" + when + " +0000] \"GET /" + what + " HTTP/1.1\" 200 1\n";
}

std::string clf_at(int second, const std::string& what, int host) {
  char when[32];
  std::snprintf(when, sizeof when, "04/Apr/2024:%02d:%02d:%02d", second / 3600 % 24,
                second / 60 % 60, second % 60);
  std::string line = clf_line(when, what);
  line.replace(7, 1, std::to_string(host));
  return line;
}

std::string sample_log(int lines, int host) {
  std::string s;
  for (int i = 0; i < lines; ++i) s += clf_at(i * 3 + host, std::to_string(i), host);
  return s;
}
