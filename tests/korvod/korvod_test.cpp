// korvod end to end: the server started as a service would start it, the
// real players into the fake DAC, and clients this project did not write.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "alsa_env.h"
#include "process.h"
#include "tag_writer.h"
#include "wav_writer.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using bytes = std::vector<uint8_t>;

// How long a condition may take on a loaded machine: a safety net only.
constexpr auto kPatience = 60s;

std::string korvod_program() {
  const char* dir = getenv("PLAYERS_BIN_DIR");
  const std::string base = dir != nullptr ? dir : std::string(built_program("lumen") + "/../..");
  return base + "/korvod/korvod";
}

// A port nothing listens on now.
int free_port() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

int connect_to(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A plain protocol client: lines out, answers in up to OK or ACK.
class raw_client {
 public:
  explicit raw_client(int port) : fd_(connect_to(port)) {}
  ~raw_client() {
    if (fd_ >= 0) close(fd_);
  }
  raw_client(const raw_client&) = delete;
  raw_client& operator=(const raw_client&) = delete;

  bool connected() const { return fd_ >= 0; }
  // The next line, without its newline; empty at the end of the connection.
  std::optional<std::string> line() {
    for (;;) {
      const size_t newline = pending_.find('\n');
      if (newline != std::string::npos) {
        std::string found = pending_.substr(0, newline);
        pending_.erase(0, newline + 1);
        return found;
      }
      pollfd ready{fd_, POLLIN, 0};
      if (poll(&ready, 1, static_cast<int>(std::chrono::milliseconds(kPatience).count())) <= 0) return std::nullopt;
      char buffer[4096];
      const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
      if (got <= 0) return std::nullopt;
      pending_.append(buffer, static_cast<size_t>(got));
    }
  }
  void send_text(const std::string& text) {
    for (size_t at = 0; at < text.size();) {
      const ssize_t sent = ::send(fd_, text.data() + at, text.size() - at, MSG_NOSIGNAL);
      if (sent <= 0) return;
      at += static_cast<size_t>(sent);
    }
  }
  // The answer to one command: its lines up to and with OK or ACK.
  std::string command(const std::string& text) {
    send_text(text + "\n");
    return answer();
  }
  std::string answer() {
    std::string all;
    while (std::optional<std::string> next = line()) {
      all += *next + "\n";
      if (*next == "OK" || next->rfind("ACK ", 0) == 0) break;
    }
    return all;
  }
  // True once the server has closed the connection.
  bool closed() {
    while (std::optional<std::string> next = line()) {
    }
    return true;
  }

 private:
  int fd_;
  std::string pending_;
};

// A field of a response ("elapsed: 6.500" -> "6.500").
std::string field(const std::string& response, const std::string& key) {
  const std::string head = "\n" + key + ": ";
  const size_t at = ("\n" + response).find(head);
  if (at == std::string::npos) return {};
  const size_t start = at + head.size() - 1;
  return response.substr(start, response.find('\n', start) - start);
}

// Samples whose left channel counts hundredths of a second from the start
// of the file (offset by `base`), so that a capture tells where it plays.
std::vector<int32_t> timed_samples(double seconds, int32_t base) {
  std::vector<int32_t> samples;
  const auto frames = static_cast<size_t>(seconds * 44100);
  for (size_t i = 0; i < frames; ++i) {
    samples.push_back(base + static_cast<int32_t>(i / 441));
    samples.push_back(-1 - static_cast<int32_t>(i % 30000));
  }
  return samples;
}

class Korvod : public testing::Test {
 protected:
  void SetUp() override {
    music_ = env_.file("Music");
    state_ = env_.file("state");
    mkdir(music_.c_str(), 0755);
    port_ = free_port();
  }
  void TearDown() override { stop(); }

  std::string song_path(const std::string& name) const { return music_ + "/" + name; }

  // The environment of korvod and of the clients: the test devices, and
  // the players of this build first in the search path.
  std::vector<std::string> environment() const {
    std::vector<std::string> env = env_.environment();
    const std::string bin = std::string(getenv("PLAYERS_BIN_DIR") != nullptr ? getenv("PLAYERS_BIN_DIR") : ".");
    env.push_back("PATH=" + bin + "/brisa:" + bin + "/lumen:" + std::string(getenv("PATH") ? getenv("PATH") : ""));
    return env;
  }

  // Starts korvod and waits until it answers.
  void start(std::vector<std::string> extra) {
    std::vector<std::string> words = {korvod_program(), "--config", env_.file("korvod.conf"), "--port",
                                      std::to_string(port_)};
    words.insert(words.end(), extra.begin(), extra.end());
    ASSERT_TRUE(write_config());
    std::vector<std::string> env_words;
    for (char** at = environ; *at != nullptr; ++at) env_words.emplace_back(*at);
    for (const std::string& set : environment()) {
      const std::string name = set.substr(0, set.find('=') + 1);
      std::erase_if(env_words, [&](const std::string& word) { return word.rfind(name, 0) == 0; });
      env_words.push_back(set);
    }
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& word : env_words) envp.push_back(word.data());
    envp.push_back(nullptr);
    const std::string log = env_.file("korvod.log");
    pid_ = fork();
    if (pid_ == 0) {
      const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      dup2(out, STDOUT_FILENO);
      dup2(out, STDERR_FILENO);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    ASSERT_TRUE(eventually([&] { return raw_client(port_).connected(); })) << read_captured(log);
  }

  // The settings come through the config file, as a service gets them.
  bool write_config() {
    const std::string text = "# korvod for a test\nmusic " + music_ + "\nstate " + state_ + "\nbind 127.0.0.1\n";
    return write_file(env_.file("korvod.conf"), bytes(text.begin(), text.end()));
  }

  // Ends korvod as systemd does; its exit status.
  int stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  process_result mpc(std::vector<std::string> words) {
    words.insert(words.begin(), {"/usr/bin/mpc", "-h", "127.0.0.1", "-p", std::to_string(port_)});
    process_options options;
    options.env = environment();
    process_result result = run_process(words, options);
    EXPECT_FALSE(result.timed_out) << result.out << result.err;
    return result;
  }

  // Polls until the condition holds (or the patience ends).
  static bool eventually(const std::function<bool()>& condition) {
    const auto limit = std::chrono::steady_clock::now() + kPatience;
    while (!condition()) {
      if (std::chrono::steady_clock::now() > limit) return false;
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }

  std::string status() { return raw_client_command("status"); }
  std::string raw_client_command(const std::string& line) {
    raw_client client(port_);
    client.line();
    return client.command(line);
  }
  double elapsed() {
    const std::string value = field(status(), "elapsed");
    return value.empty() ? -1 : std::stod(value);
  }

  alsa_env env_;
  std::string music_;
  std::string state_;
  int port_ = 0;
  pid_t pid_ = -1;
};

// mpc's everyday commands, and a python-mpd2 client in idle that hears of
// every change another client makes, through brisa's DSD into its DAC.
TEST_F(Korvod, MpcAndAnIdlingClientDriveBrisa) {
  if (access("/usr/bin/mpc", X_OK) != 0) GTEST_SKIP() << "no mpc";
  env_.add_fake_dac("dac", {.formats = {"DSD_U32_BE"}, .paced = true, .discard = true});
  env_.route_hw_to("dac");
  env_.add_cards({{.number = 1, .longname = "Amanero Combo384 at usb-1"}});
  std::vector<int16_t> long_song;
  for (double sample : tone(440, 0.3, 44100, 40)) long_song.push_back(static_cast<int16_t>(sample * 32767));
  mkdir((music_ + "/Kind of Blue").c_str(), 0755);
  ASSERT_TRUE(write_file(
      song_path("Kind of Blue/03 Blue in Green.flac"),
      flac_bytes(44100, long_song,
                 {"TITLE=Blue in Green", "ARTIST=Miles Davis", "ALBUM=Kind of Blue", "TRACKNUMBER=3", "DATE=1959"})));
  ASSERT_TRUE(write_wav(song_path("z.wav"), wav_spec{}, tone(1000, 0.3, 44100, 5)));
  start({"--player", "brisa"});

  constexpr const char* kIdler = R"py(
import sys, threading, mpd
port = int(sys.argv[1])
idler, actor = mpd.MPDClient(), mpd.MPDClient()
for client in (idler, actor):
    client.timeout = 60
    client.connect("127.0.0.1", port)
def expect(subsystem, action):
    seen = set()
    def wait():
        while subsystem not in seen:
            seen.update(idler.idle())
    waiter = threading.Thread(target=wait)
    waiter.start()
    action()
    waiter.join()
    print("heard", subsystem)
expect("database", lambda: actor.update())
expect("playlist", lambda: actor.add("Kind of Blue"))
expect("player", lambda: actor.play(0))
expect("mixer", lambda: actor.setvol(40))
expect("options", lambda: actor.repeat(1))
expect("output", lambda: actor.disableoutput(0))
expect("output", lambda: actor.enableoutput(0))
actor.repeat(0)
actor.clear()
print("status", actor.status()["state"], actor.status()["volume"])
)py";
  process_options options;
  options.env = environment();
  const process_result idler = run_process({"/usr/bin/python3", "-c", kIdler, std::to_string(port_)}, options);
  ASSERT_EQ(idler.exit_status, 0) << idler.out << idler.err;
  for (const char* heard : {"database", "playlist", "player", "mixer", "options", "output"}) {
    EXPECT_NE(idler.out.find(std::string("heard ") + heard + "\n"), std::string::npos) << idler.out;
  }
  EXPECT_NE(idler.out.find("status stop 40"), std::string::npos) << idler.out;

  EXPECT_EQ(mpc({"update", "--wait"}).exit_status, 0);
  EXPECT_EQ(mpc({"add", "/"}).exit_status, 0);
  EXPECT_EQ(mpc({"playlist"}).out, "Miles Davis - Blue in Green\nz.wav\n");
  EXPECT_EQ(mpc({"play"}).exit_status, 0);
  ASSERT_TRUE(eventually([&] { return elapsed() > 0; })) << status();
  EXPECT_EQ(field(status(), "audio"), "dsd256:2");
  EXPECT_EQ(mpc({"current"}).out, "Miles Davis - Blue in Green\n");
  EXPECT_EQ(mpc({"current", "-f", "%album% %track% %date%"}).out, "Kind of Blue 3 1959\n");

  EXPECT_EQ(mpc({"volume", "50"}).exit_status, 0);
  EXPECT_NE(mpc({"status"}).out.find("volume: 50%"), std::string::npos);
  EXPECT_EQ(mpc({"replaygain", "album"}).exit_status, 0);
  EXPECT_EQ(mpc({"replaygain"}).out, "replay_gain_mode: album\n");
  mpc({"pause"});
  EXPECT_NE(mpc({"status"}).out.find("[paused]"), std::string::npos);
  mpc({"play"});
  EXPECT_EQ(mpc({"seek", "0:30"}).exit_status, 0);
  ASSERT_TRUE(eventually([&] { return elapsed() >= 30.0; })) << status();
  const std::string shown = mpc({"status"}).out;
  EXPECT_TRUE(std::regex_search(shown, std::regex(R"(\[playing\] #1/2 +0:3\d/0:40)"))) << shown;
  EXPECT_EQ(mpc({"next"}).exit_status, 0);
  EXPECT_EQ(mpc({"current"}).out, "z.wav\n");
  EXPECT_EQ(stop(), 0) << read_captured(env_.file("korvod.log"));
}

// One lumen run plays the queue: the DAC receives the three files back to
// back, bit for bit, after the lead-in's silence.
TEST_F(Korvod, AQueueOfThreeFilesPlaysGaplesslyThroughLumen) {
  env_.add_fake_dac("dac", {.formats = {"S16_LE"}, .paced = true});
  const std::vector<std::vector<int32_t>> songs = {timed_samples(1.5, -30000), timed_samples(1.0, -10000),
                                                   timed_samples(1.2, 10000)};
  for (size_t i = 0; i < songs.size(); ++i) {
    ASSERT_TRUE(
        write_file(song_path(std::string(1, static_cast<char>('a' + i)) + ".wav"), wav_bytes(wav_spec{}, songs[i])));
  }
  start({"--player", "lumen", "-D", "dac"});
  raw_client client(port_);
  client.line();
  EXPECT_NE(client.command("update").find("updating_db: "), std::string::npos);
  ASSERT_TRUE(eventually([&] { return field(status(), "updating_db").empty(); }));
  EXPECT_EQ(client.command("command_list_ok_begin\nadd a.wav\nadd b.wav\nadd c.wav\ncommand_list_end"),
            "list_OK\nlist_OK\nlist_OK\nOK\n");
  EXPECT_EQ(client.command("play"), "OK\n");
  ASSERT_TRUE(eventually([&] { return field(status(), "state") == "stop"; })) << status();

  bytes expected(44100 * 4, 0);
  for (const std::vector<int32_t>& samples : songs) {
    const bytes pcm = encode_samples(sample_encoding::s16, samples);
    expected.insert(expected.end(), pcm.begin(), pcm.end());
  }
  const std::string captured = read_captured(env_.dac_output("dac"));
  ASSERT_EQ(captured.size(), expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), captured.begin(),
                         [](uint8_t x, char y) { return x == static_cast<uint8_t>(y); }));
}

// korvod ended while playing comes back with its queue, paused at the song
// and place it stood; play goes on from that very frame.
TEST_F(Korvod, ARestartComesBackPausedWhereItWasAndPlaysOnFromThere) {
  env_.add_fake_dac("dac", {.formats = {"S16_LE"}, .paced = true});
  for (const char* name : {"a.wav", "b.wav", "c.wav"}) {
    ASSERT_TRUE(write_file(song_path(name), wav_bytes(wav_spec{}, timed_samples(20, -30000))));
  }
  start({"--player", "lumen", "-D", "dac"});
  {
    raw_client client(port_);
    client.line();
    client.command("update");
    ASSERT_TRUE(eventually([&] { return field(status(), "updating_db").empty(); }));
    EXPECT_EQ(client.command("add /"), "OK\n");
    EXPECT_EQ(client.command("play 1"), "OK\n");
    EXPECT_EQ(client.command("seekcur 6"), "OK\n");
    ASSERT_TRUE(eventually([&] { return elapsed() >= 7.0; })) << status();
  }
  ASSERT_EQ(stop(), 0);

  start({"--player", "lumen", "-D", "dac"});
  const std::string paused = status();
  EXPECT_EQ(field(paused, "state"), "pause") << paused;
  EXPECT_EQ(field(paused, "song"), "1") << paused;
  EXPECT_EQ(field(paused, "playlistlength"), "3") << paused;
  const double saved = std::stod(field(paused, "elapsed"));
  EXPECT_GE(saved, 7.0) << paused;
  EXPECT_EQ(field(raw_client_command("currentsong"), "file"), "b.wav");
  EXPECT_EQ(raw_client_command("play"), "OK\n");
  ASSERT_TRUE(eventually([&] { return elapsed() >= saved + 1.0; })) << status();
  ASSERT_EQ(stop(), 0);

  // After the lead-in's silence the music fades in from the frame saved:
  // 20 ms on, past the fade, it is the file's own, 20 ms after that frame.
  const std::string captured = read_captured(env_.dac_output("dac"));
  size_t first = 0;
  while (first + 4 <= captured.size() && captured.compare(first, 4, std::string(4, '\0')) == 0) first += 4;
  const size_t at = first + 4 * 882;
  ASSERT_LT(at + 4, captured.size());
  const auto left =
      static_cast<int16_t>(static_cast<uint8_t>(captured[at]) | (static_cast<uint8_t>(captured[at + 1]) << 8));
  const double heard_from = (left + 30000) / 100.0 - 0.02;
  EXPECT_NEAR(heard_from, saved, 0.011) << "saved " << saved;
}

// Lines and paths meant to harm, a wrong password, and a flood of
// connections are refused in the protocol's own words; the client that had
// control keeps it throughout.
TEST_F(Korvod, HostileLinesPathsAndAFloodAreRefusedWhileAnotherClientKeepsControl) {
  env_.add_fake_dac("dac", {.formats = {"S16_LE"}, .paced = true, .discard = true});
  ASSERT_TRUE(write_wav(song_path("a.wav"), wav_spec{}, tone(1000, 0.3, 44100, 30)));
  ASSERT_EQ(symlink("/etc", song_path("escape").c_str()), 0);
  ASSERT_EQ(symlink("/etc/passwd", song_path("passwd.wav").c_str()), 0);
  start({"--player", "lumen", "-D", "dac", "--password", "secret"});

  raw_client control(port_);
  EXPECT_EQ(control.line().value_or(""), "OK MPD 0.23.0");
  EXPECT_EQ(control.command("status"), "ACK [4@0] {status} you don't have permission for \"status\"\n");
  EXPECT_EQ(control.command("password nope"), "ACK [3@0] {password} incorrect password\n");
  EXPECT_EQ(control.command("ping"), "OK\n");
  EXPECT_EQ(control.command("password secret"), "OK\n");
  control.command("update");
  ASSERT_TRUE(eventually([&] { return field(control.command("status"), "updating_db").empty(); }));
  EXPECT_EQ(control.command("listall"), "file: a.wav\nOK\n") << "no link that leads out is listed";
  EXPECT_EQ(control.command("add a.wav"), "OK\n");
  EXPECT_EQ(control.command("play"), "OK\n");

  // A hundred connections at once: the rest of the 32 are served, the
  // others told why and closed.
  std::vector<std::unique_ptr<raw_client>> flood;
  for (int i = 0; i < 100; ++i) flood.push_back(std::make_unique<raw_client>(port_));
  int served = 0;
  int refused = 0;
  for (auto& client : flood) {
    const std::string first = client->line().value_or("");
    if (first == "OK MPD 0.23.0") ++served;
    if (first == "ACK [0@0] {} too many clients") refused += client->closed() ? 1 : 0;
  }
  EXPECT_EQ(served, 31);
  EXPECT_EQ(refused, 69);
  EXPECT_EQ(field(control.command("status"), "state"), "play");
  flood.clear();

  // The server notices the flood's closes in its own time: until then a new
  // client is still one too many.
  std::unique_ptr<raw_client> connection;
  ASSERT_TRUE(eventually([&] {
    connection = std::make_unique<raw_client>(port_);
    return connection->line().value_or("") == "OK MPD 0.23.0";
  }));
  raw_client& hostile = *connection;
  hostile.command("password secret");
  const std::vector<std::pair<std::string, std::string>> refusals = {
      {"add ../../etc/passwd", "ACK [2@0] {add} Malformed URI\n"},
      {"add /etc/passwd", "ACK [4@0] {add} Access denied\n"},
      {"add escape/passwd", "ACK [50@0] {add} Not found\n"},
      {"add passwd.wav", "ACK [50@0] {add} Not found\n"},
      {"lsinfo escape", "ACK [50@0] {lsinfo} No such directory\n"},
      {"lsinfo \"a.wav/..\"", "ACK [2@0] {lsinfo} Malformed URI\n"},
      {"add \"a.wav", "ACK [5@0] {} Missing closing '\"'\n"},
      {"play \"0\"x", "ACK [5@0] {} Space expected after closing '\"'\n"},
      {std::string("status\0x", 8), "ACK [5@0] {} NUL in the line\n"},
      {"\x01\x02\xff", "ACK [5@0] {} Malformed command\n"},
      {"seek 0 99999999999999999999", "ACK [2@0] {seek} Number expected: 99999999999999999999\n"},
      {"delete 5:2", "ACK [2@0] {delete} Bad song index\n"},
      {"frobnicate", "ACK [5@0] {} unknown command \"frobnicate\"\n"},
      {"command_list_begin\nping\nfrobnicate\ncommand_list_end", "ACK [5@1] {} unknown command \"frobnicate\"\n"},
  };
  for (const auto& [line, answer] : refusals) EXPECT_EQ(hostile.command(line), answer) << line;
  hostile.send_text(std::string(70 * 1024, 'x'));
  EXPECT_EQ(hostile.line().value_or(""), "ACK [2@0] {} line too long");
  EXPECT_TRUE(hostile.closed());

  EXPECT_EQ(field(control.command("status"), "playlistlength"), "1");
  EXPECT_EQ(control.command("pause 1"), "OK\n");
  EXPECT_EQ(field(control.command("status"), "state"), "pause");
  EXPECT_EQ(stop(), 0);
}

}  // namespace
