#include "tests/sample_log.h"

#include <cstdio>
#include <random>

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

std::string varied_log(int lines, unsigned seed) {
  std::mt19937 rng(seed);
  auto r = [&](unsigned n) { return std::to_string(rng() % n); };
  std::string s;
  for (int i = 0; i < lines; ++i) {
    char when[32];
    std::snprintf(when, sizeof when, "01/Jun/2021:%02d:%02d:%02d", i / 3600 % 24, i / 60 % 60,
                  i % 60);
    std::string line = clf_line(when, "p/" + r(100000));
    line.replace(0, 8, "10." + r(256) + "." + r(256) + "." + r(256));
    s += line;
  }
  return s;
}
