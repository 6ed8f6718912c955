#include "fake_players.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

fake_players::fake_players(const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    if (symlink(fake_player_program().c_str(), dir_.file(name).c_str()) != 0) abort();
  }
  const char* path = getenv("PATH");
  old_path_ = path != nullptr ? path : "";
  setenv("PATH", dir_.path().c_str(), 1);
  setenv("FAKE_PLAYER_RECORD", record().c_str(), 1);
}

fake_players::~fake_players() {
  setenv("PATH", old_path_.c_str(), 1);
  unsetenv("FAKE_PLAYER_RECORD");
}

std::vector<std::vector<std::string>> fake_players::runs() const {
  std::vector<std::vector<std::string>> result;
  std::ifstream in(record());
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> words;
    std::istringstream fields(line);
    std::string word;
    while (std::getline(fields, word, '\t')) words.push_back(word);
    result.push_back(words);
  }
  return result;
}

void fake_players::clear_record() const { unlink(record().c_str()); }

std::string fake_player_program() { return FAKE_PLAYER_PROGRAM; }
