#include "tests/sandbox.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace vexlo::test {

namespace fs = std::filesystem;

namespace {

std::string quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string binary() {
  // VEXLO_BINARY may name a wrapper, e.g. one that runs another build.
  if (const char* b = std::getenv("VEXLO_BINARY"); b != nullptr && *b) return b;
  return VEXLO_BINARY_PATH;
}

}  // namespace

Sandbox::Sandbox() {
  std::string tmpl = (fs::temp_directory_path() / "vexlo-e2e-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr)
    throw std::runtime_error("mkdtemp failed");
  root_ = fs::canonical(tmpl);
  dir_ = root_ / "work";
  fs::create_directory(dir_);
}

Sandbox::~Sandbox() {
  std::error_code ec;
  // Tests may leave unreadable directories behind; make them removable.
  std::system(
      ("chmod -R u+rwx " + quoted(root_.string()) + " 2>/dev/null").c_str());
  fs::remove_all(root_, ec);
}

void Sandbox::write(const std::string& rel, const Bytes& bytes) const {
  const fs::path p = dir_ / rel;
  fs::create_directories(p.parent_path());
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()),
          static_cast<std::streamsize>(bytes.size()));
}

void Sandbox::write(const std::string& rel, const std::string& text) const {
  write(rel, Bytes(text.begin(), text.end()));
}

Bytes Sandbox::read(const std::string& rel) const {
  return read_file(dir_ / rel);
}

bool Sandbox::exists(const std::string& rel) const {
  return fs::exists(fs::symlink_status(dir_ / rel));
}

std::vector<std::string> Sandbox::files(const std::string& rel) const {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir_ / rel))
    if (e.is_regular_file()) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

Outcome Sandbox::run(const std::string& prefix) const {
  const fs::path out = root_ / "stdout";
  const std::string cmd = "cd " + quoted(dir_.string()) + " && " + prefix +
                          " setsid -w timeout 60 " + binary() +
                          " </dev/null >" + quoted(out.string()) +
                          " 2>/dev/null";
  const int raw = std::system(cmd.c_str());
  Outcome o;
  o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  const Bytes b = read_file(out);
  o.out.assign(b.begin(), b.end());
  return o;
}

std::string Sandbox::memory_limit(long megabytes) {
  if (kSanitized)
    return "ASAN_OPTIONS=max_allocation_size_mb=" + std::to_string(megabytes) +
           ":allocator_may_return_null=0; export ASAN_OPTIONS;";
  return "ulimit -v " + std::to_string(megabytes * 1024) + ";";
}

bool Sandbox::windows_build() {
  const char* w = std::getenv("VEXLO_WINE");
  return w != nullptr && *w == '1';
}

std::string Sandbox::shown(const fs::path& p) {
  std::string s = p.lexically_normal().string();
  if (windows_build()) {
    std::replace(s.begin(), s.end(), '/', '\\');
    s = "Z:" + s;
  }
  return s;
}

fs::path data_path(const std::string& rel) {
  return fs::path(VEXLO_TEST_DATA) / rel;
}

Bytes read_file(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

}  // namespace vexlo::test
