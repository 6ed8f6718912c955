// Counts the guest instructions a qemu-user run executed, from the log of
// `qemu-arm -d in_asm,exec,nochain` on standard input, and prints the total.
//   qemu_insn_count [--from SYMBOL] [--functions FILE] < log
// The in_asm part gives each translated block's start address and lists its
// instructions; with nochain the exec part has one "Trace" line per executed
// block. Each execution is weighted by the length of the block's latest
// translation.
// --from SYMBOL counts from the first execution of that function (main
// leaves out the loader and the library constructors, some of which time
// themselves and so vary from run to run).
// --functions FILE writes "instructions<TAB>function" lines: qemu's symbol
// for the block, else the shared library whose executable mapping holds it
// (found in the syscall lines of "-d strace").
//
// The log runs to gigabytes, so it is read in large chunks and never kept.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

constexpr size_t kPipeBytes = 1 << 20;
constexpr size_t kSmallRead = kPipeBytes / 4;
constexpr unsigned kRefillMicros = 5000;

struct block {
  uint32_t instructions = 0;  // of the latest translation
  uint64_t executed = 0;      // instructions, summed over executions
  std::string symbol;         // qemu's name for it, empty outside the binary
  bool starts_counting = false;
};

struct mapping {
  uint32_t start, end;
  std::string library;
};

struct counter {
  std::string start_symbol;  // counting waits for its first execution, if set
  bool counting = true;
  std::unordered_map<uint32_t, block> blocks;
  uint64_t total = 0;
  uint64_t untranslated = 0;  // executions of blocks never seen translated
  uint64_t resized = 0;       // retranslations with another length

  // The block being read from an in_asm listing, if any.
  bool in_listing = false;
  bool listing_started = false;
  uint32_t listing_pc = 0;
  uint32_t listing_size = 0;
  std::string listing_symbol;

  // For --functions: open file descriptors and executable mappings, from strace.
  std::map<int, std::string> open_files;
  std::vector<mapping> mappings;
};

uint32_t parse_hex(std::string_view text) {
  uint32_t value = 0;
  for (char c : text) {
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      break;
    }
    value = value << 4 | digit;
  }
  return value;
}

// "Trace 0: 0xHOST [cs_base/PC/flags/cflags] symbol"
void count_execution(counter& c, std::string_view line) {
  const size_t open = line.find('[');
  if (open == std::string_view::npos) return;
  const size_t slash = line.find('/', open);
  if (slash == std::string_view::npos) return;
  const uint32_t pc = parse_hex(line.substr(slash + 1));
  const auto found = c.blocks.find(pc);
  if (found == c.blocks.end()) {
    ++c.untranslated;
    return;
  }
  if (!c.counting) {
    if (!found->second.starts_counting) return;
    c.counting = true;
  }
  found->second.executed += found->second.instructions;
  c.total += found->second.instructions;
}

void finish_listing(counter& c) {
  if (c.listing_started) {
    block& b = c.blocks[c.listing_pc];
    if (b.instructions != 0 && b.instructions != c.listing_size) ++c.resized;
    b.instructions = c.listing_size;
    b.symbol = c.listing_symbol;
    b.starts_counting = !c.start_symbol.empty() && b.symbol == c.start_symbol;
  }
  c.in_listing = false;
  c.listing_started = false;
}

// The quoted path and the returned descriptor of
// "PID openat(AT_FDCWD,"/path",flags) = 3".
void note_open(counter& c, std::string_view line) {
  const size_t quote = line.find('"');
  const size_t end = quote == std::string_view::npos ? quote : line.find('"', quote + 1);
  const size_t result = line.rfind(" = ");
  if (end == std::string_view::npos || result == std::string_view::npos || result < end) return;
  const int fd = atoi(std::string(line.substr(result + 3)).c_str());
  if (fd < 0) return;
  std::string path(line.substr(quote + 1, end - quote - 1));
  const size_t base = path.rfind('/');
  c.open_files[fd] = base == std::string::npos ? path : path.substr(base + 1);
}

// "PID mmap2(addr,length,PROT_READ|PROT_EXEC,flags,fd,offset) = 0xADDRESS"
void note_mapping(counter& c, std::string_view line) {
  const size_t open = line.find('(');
  const size_t close = line.find(')', open);
  const size_t result = line.rfind(" = 0x");
  if (open == std::string_view::npos || close == std::string_view::npos || result == std::string_view::npos) return;
  const std::string_view args = line.substr(open + 1, close - open - 1);
  if (args.find("PROT_EXEC") == std::string_view::npos) return;
  std::vector<std::string_view> fields;
  for (size_t at = 0;;) {
    const size_t comma = args.find(',', at);
    fields.push_back(args.substr(at, comma == std::string_view::npos ? comma : comma - at));
    if (comma == std::string_view::npos) break;
    at = comma + 1;
  }
  if (fields.size() != 6) return;
  const auto file = c.open_files.find(atoi(std::string(fields[4]).c_str()));
  if (file == c.open_files.end()) return;
  const uint32_t start = parse_hex(line.substr(result + 5));
  const auto length = static_cast<uint32_t>(strtoul(std::string(fields[1]).c_str(), nullptr, 0));
  c.mappings.push_back({start, start + length, file->second});
}

void read_line(counter& c, std::string_view line, bool want_mappings) {
  if (line.starts_with("Trace ")) {
    count_execution(c, line);
    return;
  }
  if (c.in_listing) {
    if (line.starts_with("0x")) {
      if (!c.listing_started) {
        c.listing_started = true;
        c.listing_pc = parse_hex(line.substr(2));
        c.listing_size = 0;
      }
      ++c.listing_size;
      return;
    }
    finish_listing(c);  // the blank line after a listing
    return;
  }
  if (line.starts_with("IN:")) {
    c.in_listing = true;
    c.listing_started = false;
    std::string_view symbol = line.substr(3);
    while (!symbol.empty() && symbol.front() == ' ') symbol.remove_prefix(1);
    c.listing_symbol = symbol;
    return;
  }
  // A syscall line is written in two parts; another thread's trace line can
  // land between them, on the same line.
  if (const size_t trace = line.find("Trace "); trace != std::string_view::npos) {
    count_execution(c, line.substr(trace));
    return;
  }
  if (want_mappings) {
    if (line.find(" openat(") != std::string_view::npos) note_open(c, line);
    if (line.find(" mmap2(") != std::string_view::npos) note_mapping(c, line);
  }
}

std::string function_of(const counter& c, uint32_t pc, const block& b) {
  if (!b.symbol.empty()) return b.symbol;
  for (const mapping& m : c.mappings) {
    if (pc >= m.start && pc < m.end) return m.library;
  }
  if (pc >= 0xffff0000u) return "[kernel user helpers]";
  return "[PLT stubs, loader]";
}

bool write_functions(const counter& c, const char* path) {
  std::map<std::string, uint64_t> functions;
  for (const auto& [pc, b] : c.blocks) {
    if (b.executed != 0) functions[function_of(c, pc, b)] += b.executed;
  }
  FILE* out = fopen(path, "w");
  if (out == nullptr) return false;
  for (const auto& [name, executed] : functions) {
    fprintf(out, "%llu\t%s\n", static_cast<unsigned long long>(executed), name.c_str());
  }
  return fclose(out) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  counter c;
  const char* functions_path = nullptr;
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 < argc && strcmp(argv[i], "--functions") == 0) {
      functions_path = argv[i + 1];
    } else if (i + 1 < argc && strcmp(argv[i], "--from") == 0) {
      c.start_symbol = argv[i + 1];
      c.counting = false;
    } else {
      fprintf(stderr, "usage: %s [--from SYMBOL] [--functions FILE] < qemu-log\n", argv[0]);
      return 2;
    }
  }
  fcntl(STDIN_FILENO, F_SETPIPE_SZ, static_cast<int>(kPipeBytes));  // fewer wake-ups; fails harmlessly on files

  c.blocks.reserve(1 << 16);
  std::vector<char> buffer(8 << 20);
  size_t kept = 0;  // bytes of an unfinished line at the buffer's start
  for (;;) {
    if (kept == buffer.size()) buffer.resize(2 * buffer.size());  // an absurdly long line
    const ssize_t got = read(STDIN_FILENO, buffer.data() + kept, buffer.size() - kept);
    if (got < 0) {
      perror("read");
      return 1;
    }
    // qemu writes a line at a time: let the pipe fill rather than wake per line.
    if (got > 0 && static_cast<size_t>(got) < kSmallRead) usleep(kRefillMicros);
    const size_t filled = kept + static_cast<size_t>(got);
    size_t at = 0;
    for (;;) {
      const void* newline = memchr(buffer.data() + at, '\n', filled - at);
      if (newline == nullptr) break;
      const size_t end = static_cast<const char*>(newline) - buffer.data();
      read_line(c, std::string_view(buffer.data() + at, end - at), functions_path != nullptr);
      at = end + 1;
    }
    if (got == 0) {
      if (at < filled) read_line(c, std::string_view(buffer.data() + at, filled - at), functions_path != nullptr);
      break;
    }
    kept = filled - at;
    memmove(buffer.data(), buffer.data() + at, kept);
  }
  finish_listing(c);

  if (!c.counting) {
    fprintf(stderr, "qemu_insn_count: %s never ran\n", c.start_symbol.c_str());
    return 1;
  }
  if (c.untranslated != 0 || c.resized != 0) {
    fprintf(stderr,
            "qemu_insn_count: %llu executions of unlisted blocks, %llu blocks retranslated with another length\n",
            static_cast<unsigned long long>(c.untranslated), static_cast<unsigned long long>(c.resized));
  }
  if (functions_path != nullptr && !write_functions(c, functions_path)) {
    perror(functions_path);
    return 1;
  }
  printf("%llu\n", static_cast<unsigned long long>(c.total));
  return 0;
}
