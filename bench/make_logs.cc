// Writes k time-ordered access logs in the combined format, for
// benchmarking. The output depends only on the arguments.
//
//   make_logs DIR K BYTES_PER_FILE [SEED]
//
// Files are DIR/log0000.log ...; DIR is made when it does not exist. Each line is shaped like a real server's:
// client address, request, status, size, referrer and a long user agent.
// Dates start at 30/Apr/2015 23:00:00 (every file alike), rise by 0 to 3
// seconds a line and run across month ends, so that the files interleave
// closely and equal timestamps are common.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

struct rng {
  uint64_t s;
  uint64_t next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
  unsigned below(unsigned n) { return static_cast<unsigned>(next() % n); }
};

const char* kPaths[] = {
    "/presentations/logstash-monitorama-2013/images/kibana-search.png",
    "/presentations/logstash-monitorama-2013/plugin/highlight/highlight.js",
    "/articles/dynamic-dns-with-dhcp/",
    "/blog/geekery/disabling-battery-in-ubuntu-vms.html?utm_source=feedburner",
    "/reset.css",
    "/style2.css",
    "/favicon.ico",
    "/images/jordan-80.png",
    "/images/web/2009/banner.png",
    "/blog/tags/puppet?flav=rss20",
    "/projects/xdotool/",
    "/?flav=atom",
    "/robots.txt",
    "/doc/index.html?org/elasticsearch/action/search/SearchResponse.html",
};
const char* kReferrers[] = {
    "-",
    "http://semicomplete.com/presentations/logstash-monitorama-2013/",
    "https://www.google.com/",
    "http://www.semicomplete.com/projects/xdotool/",
    "http://www.bing.com/search?q=logstash+dashboard&form=QBRE",
};
const char* kAgents[] = {
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_9_1) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/32.0.1700.77 Safari/537.36",
    "Mozilla/5.0 (X11; Ubuntu; Linux x86_64; rv:27.0) Gecko/20100101 Firefox/27.0",
    "Mozilla/5.0 (compatible; Googlebot/2.1; +http://www.google.com/bot.html)",
    "Mozilla/5.0 (iPhone; CPU iPhone OS 7_0 like Mac OS X) AppleWebKit/537.51.1 (KHTML, like Gecko) "
    "Version/7.0 Mobile/11A465 Safari/9537.53",
    "Tiny Tiny RSS/1.11 (http://tt-rss.org/)",
    "Mozilla/5.0 (Windows NT 6.1; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/32.0.1700.107 Safari/537.36",
};
const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const int kStatus[] = {200, 200, 200, 200, 200, 304, 404, 301, 206, 500};

template <size_t N>
constexpr unsigned count(const char* const (&)[N]) { return N; }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: make_logs DIR K BYTES_PER_FILE [SEED]\n");
    return 2;
  }
  const std::string dir = argv[1];
  const long k = std::atol(argv[2]);
  const long long bytes = std::atoll(argv[3]);
  const uint64_t seed = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 1;
  std::error_code made;
  std::filesystem::create_directories(dir, made);
  if (made) {
    std::fprintf(stderr, "make_logs: %s: %s\n", dir.c_str(), made.message().c_str());
    return 1;
  }

  std::tm start{};
  start.tm_year = 115;
  start.tm_mon = 3;
  start.tm_mday = 30;
  start.tm_hour = 23;
  const time_t t0 = timegm(&start);

  static char buf[1 << 20];
  for (long f = 0; f < k; ++f) {
    char name[64];
    std::snprintf(name, sizeof name, "/log%04ld.log", f);
    FILE* out = std::fopen((dir + name).c_str(), "wb");
    if (out == nullptr) {
      std::perror((dir + name).c_str());
      return 1;
    }
    std::setvbuf(out, buf, _IOFBF, sizeof buf);
    rng r{seed * 0x9E3779B97F4A7C15ull + static_cast<uint64_t>(f) * 7919 + 1};
    time_t t = t0;
    long long written = 0;
    while (written < bytes) {
      t += r.below(4);
      std::tm tm{};
      gmtime_r(&t, &tm);
      const int status = kStatus[r.below(10)];
      const int n = std::fprintf(
          out,
          "%u.%u.%u.%u - - [%02d/%s/%04d:%02d:%02d:%02d +0000] \"GET %s HTTP/1.1\" %d %u \"%s\" \"%s\"\n",
          r.below(223) + 1, r.below(256), r.below(256), r.below(254) + 1, tm.tm_mday,
          kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec,
          kPaths[r.below(count(kPaths))], status, status == 304 ? 0 : r.below(300000),
          kReferrers[r.below(count(kReferrers))], kAgents[r.below(count(kAgents))]);
      written += n;
    }
    if (std::fclose(out) != 0) {
      std::perror((dir + name).c_str());
      return 1;
    }
  }
  return 0;
}
