// POSIX only: links, FIFOs and identities are made with POSIX calls.
#if !defined(_WIN32)
#include "platform/file_ops.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "platform/dir_list.h"

namespace vexlo {
namespace {

namespace fs = std::filesystem;

// A fresh directory for one case, removed afterwards.
struct Scratch {
  Scratch() {
    char name[] = "/tmp/vexlo_ops_XXXXXX";
    dir = ::mkdtemp(name);
  }
  ~Scratch() { fs::remove_all(dir); }
  std::string path(const std::string& name) const { return dir + "/" + name; }
  void write(const std::string& name, const std::string& text) const {
    std::ofstream(path(name), std::ios::binary) << text;
  }
  std::string read(const std::string& name) const {
    std::ifstream in(path(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  std::string dir;
};

const uint8_t kBytes[] = {'n', 'e', 'w'};

// What an output name may already be: made new, emptied and rewritten when
// it is a file, and refused (left exactly as it was) when it leads to the
// protected input or to something that is not a regular file.
TEST(OpenOutput, CreatesEmptiesOrRefusesByWhatIsThere) {
  struct Case {
    const char* name;
    std::function<void(const Scratch&)> make;  // what "out" is beforehand
    bool written;
  };
  const Case cases[] = {
      {"nothing there", [](const Scratch&) {}, true},
      {"a longer file",
       [](const Scratch& s) { s.write("out", "old and longer"); }, true},
      {"a link to nowhere",
       [](const Scratch& s) {
         fs::create_symlink(s.path("gone"), s.path("out"));
       },
       true},
      {"the input itself",
       [](const Scratch& s) {
         fs::create_symlink(s.path("in"), s.path("out"));
       },
       false},
      {"a hard link to the input",
       [](const Scratch& s) {
         fs::create_hard_link(s.path("in"), s.path("out"));
       },
       false},
      {"a directory",
       [](const Scratch& s) { fs::create_directory(s.path("out")); }, false},
      {"a FIFO",
       [](const Scratch& s) { ::mkfifo(s.path("out").c_str(), 0600); }, false},
  };
  // Without the identity asked for, a new file is not looked at again; the
  // checks on what is already there are the same.
  for (const bool want_id : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (want_id ? "" : ", no identity"));
      Scratch s;
      s.write("in", "input");
      FileId input;
      ASSERT_TRUE(file_id_of(s.path("in"), &input));
      c.make(s);
      FileId made;
      EXPECT_EQ(create_and_write(s.path("out"), kBytes, &made, &input, want_id),
                c.written);
      EXPECT_EQ(s.read("in"), "input");
      if (!c.written) continue;
      EXPECT_EQ(s.read("out"), "new");
      FileId seen;
      ASSERT_TRUE(file_id_of(s.path("out"), &seen));
      if (want_id) {
        EXPECT_EQ(made, seen) << "the identity recorded is the file's";
      }
    }
  }
}

// The listing's kinds come from the directory's own types; only links are
// followed, and only a link to a regular file counts as a file.
TEST(ListDirectory, KindsOfEveryEntry) {
  Scratch s;
  s.write("file", "x");
  fs::create_directory(s.path("dir"));
  fs::create_symlink(s.path("file"), s.path("to_file"));
  fs::create_symlink(s.path("dir"), s.path("to_dir"));
  fs::create_symlink(s.path("gone"), s.path("to_nowhere"));
  ::mkfifo(s.path("fifo").c_str(), 0600);
  std::vector<std::pair<std::string, EntryKind>> got;
  for (const DirEntry& e : list_directory(s.path("*")))
    if (e.name != "." && e.name != "..") got.emplace_back(e.name, e.kind);
  std::sort(got.begin(), got.end());
  const std::vector<std::pair<std::string, EntryKind>> want = {
      {"dir", EntryKind::kDirectory}, {"fifo", EntryKind::kOther},
      {"file", EntryKind::kFile},     {"to_dir", EntryKind::kOther},
      {"to_file", EntryKind::kFile},  {"to_nowhere", EntryKind::kOther}};
  EXPECT_EQ(got, want);
}

}  // namespace
}  // namespace vexlo
#endif  // !_WIN32
