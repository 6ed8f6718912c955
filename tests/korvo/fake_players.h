// Fake players for Korvo's tests: a directory of links to the fake_player
// program under the players' names, put first (and alone) on PATH, and the
// words each run recorded.
#pragma once

#include <string>
#include <vector>

#include "process.h"

class fake_players {
 public:
  // Links `names` (e.g. {"lumen", "brisa"}) and makes them the only
  // commands on PATH, with a fresh record, until destruction.
  explicit fake_players(const std::vector<std::string>& names);
  ~fake_players();
  fake_players(const fake_players&) = delete;
  fake_players& operator=(const fake_players&) = delete;

  const std::string& dir() const { return dir_.path(); }
  std::string record() const { return dir_.file("record.txt"); }
  // The recorded runs, each as its words (the first as Korvo passed it).
  std::vector<std::vector<std::string>> runs() const;
  // Forgets the runs recorded so far (the --version probes, say).
  void clear_record() const;

 private:
  temp_dir dir_;
  std::string old_path_;
};

// The fake player program itself.
std::string fake_player_program();
