#include "sourcemerge/engine.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "host/system.h"
#include "sourcemerge/git_program.h"
#include "sourcemerge/merged_lines.h"
#include "sourcemerge/probe.h"
#include "sourcemerge/temporary_directory.h"

#ifdef VORNIK_HAVE_LIBGIT2
#include <git2.h>
#endif

namespace vornik::sourcemerge::engine {
namespace {

using host::Handle;
using host::Ref;

#ifdef VORNIK_HAVE_LIBGIT2

// git refuses to merge a side with a NUL byte in its first this many bytes ("binary"), or one
// larger than the second.
constexpr size_t kBinaryProbeSize = 8000;
constexpr size_t kMaxSideSize = size_t{1024} * 1024 * 1023;

// Three sides that conflict once, so that each style gives its own text: the common first line
// is hoisted out of the conflict by the plain and zdiff3 styles, not by diff3, and only the
// plain style leaves the base out.
constexpr std::string_view kProbeBase = "b\n";
constexpr std::string_view kProbeCurrent = "a\nX\n";
constexpr std::string_view kProbeIncoming = "a\nY\n";

// The last program asked for its version, and the release it named (none: not a git
// version line).
struct CheckedProgram {
  Program program;
  std::optional<std::pair<int, int>> release;
};
std::optional<CheckedProgram> g_checked;

struct Merged {
  std::string text;
  bool conflicted = false;
};

// Frees what the library allocated for a result (not the result itself).
struct FreeResult {
  void operator()(git_merge_file_result* result) const { git_merge_file_result_free(result); }
};

git_merge_file_input input(std::string_view text) {
  git_merge_file_input side = GIT_MERGE_FILE_INPUT_INIT;
  side.ptr = text.empty() ? "" : text.data();
  side.size = text.size();
  return side;
}

// Whether the library leaves the label of an empty side out of its conflict markers (from
// 1.9.3 on), where git writes it.
bool drops_empty_labels() {
  static const bool drops = library_version() >= std::array<int, 3>{1, 9, 3};
  return drops;
}

// Puts the label of each empty side back into its marker lines, which the library wrote as the
// bare marker ("<<<<<<<", "|||||||" or ">>>>>>>", then the line end). False when a side's own
// text holds such a marker, so that a line of text could be taken for one.
bool restore_empty_labels(std::string& merged, std::string_view base, std::string_view current,
                          std::string_view incoming, const std::string& base_label,
                          const std::string& current_label, const std::string& incoming_label) {
  const struct {
    std::string_view text;
    std::string_view label;
    char marker;
  } sides[] = {
      {current, current_label, '<'}, {base, base_label, '|'}, {incoming, incoming_label, '>'}};
  for (const auto& side : sides) {
    if (!side.text.empty()) continue;
    const std::string bare(GIT_MERGE_CONFLICT_MARKER_SIZE, side.marker);
    for (std::string_view text : {base, current, incoming}) {
      if (text.find(bare) != std::string_view::npos) return false;
    }
    std::string restored;
    restored.reserve(merged.size());
    for (size_t at = 0; at < merged.size();) {
      const size_t end = std::min(merged.find('\n', at), merged.size() - 1) + 1;
      const std::string_view line(merged.data() + at, end - at);
      const std::string_view rest = line.substr(std::min(line.size(), bare.size()));
      if (line.starts_with(bare) && (rest == "\n" || rest == "\r\n")) {
        restored.append(bare).append(" ").append(side.label).append(rest);
      } else {
        restored.append(line);
      }
      at = end;
    }
    merged = std::move(restored);
  }
  return true;
}

// What `git merge-file` writes into the current file, asked for with git's defaults: the
// "alnum" simplification of conflicts and markers of 7 characters.
std::optional<Merged> merge_texts(std::string_view base, std::string_view current,
                                  std::string_view incoming, const std::string& base_label,
                                  const std::string& current_label,
                                  const std::string& incoming_label, Style style) {
  git_merge_file_input ancestor = input(base);
  git_merge_file_input ours = input(current);
  git_merge_file_input theirs = input(incoming);
  git_merge_file_options options = GIT_MERGE_FILE_OPTIONS_INIT;
  options.ancestor_label = base_label.c_str();
  options.our_label = current_label.c_str();
  options.their_label = incoming_label.c_str();
  options.favor = GIT_MERGE_FILE_FAVOR_NORMAL;
  options.flags = GIT_MERGE_FILE_SIMPLIFY_ALNUM;
  if (style == Style::kDiff3) options.flags |= GIT_MERGE_FILE_STYLE_DIFF3;
  if (style == Style::kZdiff3) options.flags |= GIT_MERGE_FILE_STYLE_ZDIFF3;
  options.marker_size = GIT_MERGE_CONFLICT_MARKER_SIZE;
  git_merge_file_result result{};
  const std::unique_ptr<git_merge_file_result, FreeResult> freed(&result);
  if (git_merge_file(&result, &ancestor, &ours, &theirs, &options) < 0) return std::nullopt;
  Merged merged;
  if (result.len > 0) merged.text.assign(result.ptr, result.len);
  merged.conflicted = result.automergeable == 0;
  if (merged.conflicted && drops_empty_labels() &&
      !restore_empty_labels(merged.text, base, current, incoming, base_label, current_label,
                            incoming_label)) {
    return std::nullopt;
  }
  return merged;
}

// An exception raised by a signal handler while the engine waited for git: never dropped as an
// ordinary error, whatever its class.
struct Interrupted : host::ErrorAlreadySet {};

// The release `program` named when that very file was asked last; null when it must be asked.
const CheckedProgram* known_release(const Program& program) {
  return g_checked && g_checked->program.same_file(program) ? &*g_checked : nullptr;
}

bool admitted(const std::optional<std::pair<int, int>>& release, Releases releases) {
  return release && (releases == Releases::kAny || proven_git_release(*release));
}

// The text as UTF-8 when that is also how the file system spells it, and it holds no line end
// (the read-back would split a label that held one).
std::optional<std::string> plain_path(Handle path) {
  host::FsPath encoded(path);
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(path, &size);
  if (utf8 == nullptr) {
    if (!entrance::drop_ordinary_error()) host::throw_error_set();
    return std::nullopt;
  }
  std::string_view text(utf8, static_cast<size_t>(size));
  if (text != encoded.bytes() || text.find_first_of("\r\n") != std::string_view::npos) {
    return std::nullopt;
  }
  return std::string(text);
}

// Where the probe's directory is to be made, when its path is plain.
std::optional<std::string> probe_directory(Handle globals) {
  try {
    return plain_path(temporary_directory_candidate(globals));
  } catch (const host::ErrorAlreadySet&) {
    if (!entrance::drop_ordinary_error()) throw;
    return std::nullopt;
  }
}

// The conflict style in which the engine writes what the probe's git wrote; none when no
// style gives that very text. git labels the conflict with the probe's file paths.
std::optional<Style> style_written(const std::string& written, const ProbeRun& probe) {
  const std::string current = probe.path(0);
  const std::string base = probe.path(1);
  const std::string incoming = probe.path(2);
  for (Style style : {Style::kMerge, Style::kDiff3, Style::kZdiff3}) {
    auto merged =
        merge_texts(kProbeBase, kProbeCurrent, kProbeIncoming, base, current, incoming, style);
    if (merged && merged->conflicted && merged->text == written) return style;
  }
  return std::nullopt;
}

#endif  // VORNIK_HAVE_LIBGIT2

}  // namespace

const char* style_name(Style style) {
  constexpr const char* kNames[] = {"merge", "diff3", "zdiff3"};  // in the order of Style
  return kNames[static_cast<std::size_t>(style)];
}

std::optional<std::array<int, 3>> library_version() {
#ifdef VORNIK_HAVE_LIBGIT2
  std::array<int, 3> version{};
  if (git_libgit2_version(version.data(), version.data() + 1, version.data() + 2) != 0)
    return std::nullopt;
  return version;
#else
  return std::nullopt;
#endif
}

bool usable() {
#ifdef VORNIK_HAVE_LIBGIT2
  // Decided once; the host's lock guards it.
  static int state = -1;
  if (state < 0) {
    auto version = library_version();
    // The releases compared with git: 1.5.1 is the oldest, 1.9.7 the newest.
    const bool known = version && *version >= std::array<int, 3>{1, 5, 1} &&
                       *version <= std::array<int, 3>{1, 9, 7};
    state = known && git_libgit2_init() > 0 ? 1 : 0;
  }
  return state == 1;
#else
  return false;
#endif
}

#ifdef VORNIK_HAVE_LIBGIT2

struct Opening::Probe {
  explicit Probe(ProbeRequest request) : run(std::make_unique<ProbeRun>(std::move(request))) {}

  Releases releases = Releases::kProven;
  std::string prefix;  // the directory's path up to its random part
  std::unique_ptr<ProbeRun> run;
};

#else

struct Opening::Probe {};

#endif  // VORNIK_HAVE_LIBGIT2

Opening::Opening() = default;
Opening::Opening(Opening&& other) noexcept = default;
Opening& Opening::operator=(Opening&& other) noexcept = default;
Opening::~Opening() = default;

std::optional<Session> Session::open(Handle globals, Handle executable, Releases releases) {
  return start(globals, executable, releases).finish();
}

Opening Session::start(Handle globals, Handle executable, Releases releases, bool held) {
  Opening opening;
#ifdef VORNIK_HAVE_LIBGIT2
  if (!usable() || !PyUnicode_CheckExact(executable.get())) return opening;
  try {
    host::FsPath executable_name(executable);
    auto program = find_program(std::string(executable_name.bytes()));
    if (!program) return opening;
    const CheckedProgram* known = known_release(*program);
    if (known != nullptr && !admitted(known->release, releases)) return opening;

    auto directory = probe_directory(globals);
    if (!directory) return opening;
    ProbeRequest request{.directory = *directory,
                         .texts = {kProbeCurrent, kProbeBase, kProbeIncoming},
                         .program = std::move(*program),
                         .argv0 = std::string(executable_name.bytes()),
                         .ask_version = known == nullptr,
                         .held = held};
    auto probe = std::make_unique<Opening::Probe>(std::move(request));
    probe->releases = releases;
    probe->prefix = directory->substr(0, directory->size() - kRandomNameLength);
    opening.probe_ = std::move(probe);
  } catch (const host::ErrorAlreadySet&) {
    if (!entrance::drop_ordinary_error()) throw;
  }
#else
  (void)globals;
  (void)executable;
  (void)releases;
  (void)held;
#endif
  return opening;
}

std::optional<Session> Opening::ahead() const {
#ifdef VORNIK_HAVE_LIBGIT2
  if (probe_) return Session(Style::kMerge, probe_->prefix, nullptr);
#endif
  return std::nullopt;
}

void Opening::release(bool go) {
#ifdef VORNIK_HAVE_LIBGIT2
  if (!probe_) return;
  if (go) {
    probe_->run->go();
  } else {
    probe_->run->stop();
  }
#else
  (void)go;
#endif
}

std::optional<Session> Opening::finish() {
#ifdef VORNIK_HAVE_LIBGIT2
  if (!probe_) return std::nullopt;
  // Whatever comes of it, the probe ends here.
  const std::unique_ptr<Probe> probe = std::move(probe_);
  try {
    const ProbeOutcome* outcome = nullptr;
    try {
      outcome = &probe->run->outcome();
    } catch (const host::ErrorAlreadySet&) {
      throw Interrupted{};
    }
    if (!outcome->ran) return std::nullopt;
    const ProbeRequest& asked = probe->run->request();
    if (asked.ask_version) {
      // A version that could not be asked is asked again next time.
      if (outcome->version_status != 0) return std::nullopt;
      g_checked = CheckedProgram{asked.program, parse_git_version(outcome->version_text)};
      if (!admitted(g_checked->release, probe->releases)) return std::nullopt;
    }
    // One conflict: git reports their number as its exit status.
    if (outcome->merge_status != 1 || !outcome->written) return std::nullopt;
    auto style = style_written(*outcome->written, *probe->run);
    if (style) return Session(*style, std::move(probe->prefix), std::move(probe->run));
    return std::nullopt;
  } catch (const Interrupted&) {
    throw;
  } catch (const host::ErrorAlreadySet&) {
    if (entrance::drop_ordinary_error()) return std::nullopt;
    throw;
  }
#else
  return std::nullopt;
#endif
}

Session::Cell Session::merge(Handle current, Handle base, Handle incoming, Handle current_name,
                             Handle incoming_name) const {
#ifdef VORNIK_HAVE_LIBGIT2
  for (Handle side : {current, base, incoming}) {
    if (!PyList_CheckExact(side.get())) return {};
  }
  for (Handle name : {current_name, incoming_name}) {
    if (name.get() != Py_None && !PyUnicode_CheckExact(name.get())) return {};
  }
  Ref texts[3];
  std::string_view sides[3];
  const Handle lists[3] = {current, base, incoming};
  for (int i = 0; i < 3; ++i) {
    texts[i] = Ref::steal(PyUnicode_Join(host::key<"">(), lists[i]));
    Py_ssize_t size = 0;
    const char* bytes = texts[i] ? PyUnicode_AsUTF8AndSize(texts[i].get(), &size) : nullptr;
    if (bytes == nullptr) {
      if (entrance::drop_ordinary_error()) return {};
      host::throw_error_set();
    }
    sides[i] = {bytes, static_cast<size_t>(size)};
    if (sides[i].size() > kMaxSideSize ||
        std::memchr(sides[i].data(), 0, std::min(sides[i].size(), kBinaryProbeSize)) != nullptr) {
      return {};
    }
  }
  const std::string directory = prefix_ + host::random_name(kRandomNameLength);
  const std::string current_label = directory + "/current";
  const std::string incoming_label = directory + "/incoming";
  auto merged = merge_texts(sides[1], sides[0], sides[2], directory + "/base", current_label,
                            incoming_label, style_);
  if (!merged) return {};
  Ref lines = merged_lines(merged->text, host::make_str(current_label), current_name,
                           host::make_str(incoming_label), incoming_name);
  return {std::move(lines), merged->conflicted};
#else
  (void)current;
  (void)base;
  (void)incoming;
  (void)current_name;
  (void)incoming_name;
  return {};
#endif
}

}  // namespace vornik::sourcemerge::engine
