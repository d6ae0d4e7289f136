// A scratch folder for one test, removed with everything in it.
#pragma once

#include <string>
#include <string_view>

struct temp_dir {
  std::string path;
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;

  // Writes `content` to a file named `name` in the folder; returns its path.
  std::string write(const std::string& name, std::string_view content) const;
  std::string file(const std::string& name) const { return path + "/" + name; }
};

std::string read_file(const std::string& path);
