#include "Scenario.h"

#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

std::string Trim(const std::string& s) {
  const char* ws = " \t\r\n";
  std::string::size_type b = s.find_first_not_of(ws);
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

long Number(const std::string& value, long max) {
  size_t used = 0;
  long n = std::stol(value, &used, 0);
  if (used != value.size() || n < 0 || n > max) throw std::invalid_argument(value);
  return n;
}

int ErrnoByName(const std::string& name) {
  if (name == "ETIMEDOUT") return ETIMEDOUT;
  if (name == "EPIPE") return EPIPE;
  if (name == "ENODEV") return ENODEV;
  if (name == "EIO") return EIO;
  throw std::invalid_argument(name);
}

std::vector<uint8_t> FieldsVpd(unsigned serial, unsigned links, unsigned type, unsigned subtype) {
  std::vector<uint8_t> vpd(128, 0);
  vpd[0] = 1;
  vpd[1] = static_cast<uint8_t>(subtype);
  vpd[2] = static_cast<uint8_t>(type);
  vpd[3] = static_cast<uint8_t>(serial);
  vpd[4] = static_cast<uint8_t>(serial >> 8);
  vpd[15] = static_cast<uint8_t>(links);
  return vpd;
}

struct Pending {
  BoardScenario board;
  unsigned serial, links = 2, type = 0, subtype = 0;
  bool rawVpd = false;
};

void Apply(Pending& p, const std::string& key, const std::string& value) {
  BoardScenario& b = p.board;
  std::istringstream words(value);
  std::string word;
  if (key == "vendor") b.vendor = static_cast<uint16_t>(Number(value, 0xFFFF));
  else if (key == "product") b.product = static_cast<uint16_t>(Number(value, 0xFFFF));
  else if (key == "release") b.release = static_cast<uint16_t>(Number(value, 0xFFFF));
  else if (key == "serial") p.serial = static_cast<unsigned>(Number(value, 0xFFFF));
  else if (key == "links") p.links = static_cast<unsigned>(Number(value, 0xFF));
  else if (key == "type") p.type = static_cast<unsigned>(Number(value, 0xFF));
  else if (key == "subtype") p.subtype = static_cast<unsigned>(Number(value, 0xFF));
  else if (key == "vpd-length") b.vpdLength = static_cast<int>(Number(value, 128));
  else if (key == "status") b.status = static_cast<uint8_t>(Number(value, 0xFF));
  else if (key == "unplug-after") b.unplugAfter = static_cast<int>(Number(value, 1 << 20));
  else if (key == "firmware") b.firmware = value == "none" ? -1 : static_cast<int>(Number(value, 0xFF));
  else if (key == "vpd") {
    p.rawVpd = true;
    b.vpd.assign(128, 0);
    size_t i = 0;
    while (words >> word) {
      if (i >= 128) throw std::invalid_argument("more than 128 bytes");
      b.vpd[i++] = static_cast<uint8_t>(Number("0x" + word, 0xFF));
    }
  } else if (key == "fail") {
    while (words >> word) {
      std::string::size_type colon = word.find(':');
      if (colon == std::string::npos) throw std::invalid_argument(word);
      b.failures[static_cast<int>(Number(word.substr(0, colon), 0xFF))] =
          ErrnoByName(word.substr(colon + 1));
    }
  } else if (key == "refuse") {
    while (words >> word) {
      if (word == "configuration") b.refuseConfiguration = true;
      else if (word == "claim") b.refuseClaim = true;
      else throw std::invalid_argument(word);
    }
  } else if (key == "reset") {
    if (value == "reappear") b.reset = BoardScenario::Reset::kReappear;
    else if (value == "vanish") b.reset = BoardScenario::Reset::kVanish;
    else if (value == "stay") b.reset = BoardScenario::Reset::kStay;
    else throw std::invalid_argument(value);
  } else {
    throw std::invalid_argument("unknown key " + key);
  }
}

}  // namespace

std::vector<BoardScenario> LoadScenario(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error(path + ": cannot read");
  std::vector<Pending> boards;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    line = Trim(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    const std::string where = path + ":" + std::to_string(number) + ": ";
    if (line == "[board]") {
      boards.emplace_back();
      boards.back().serial = 1000 + static_cast<unsigned>(boards.size()) - 1;
      continue;
    }
    std::string::size_type eq = line.find('=');
    if (boards.empty() || eq == std::string::npos)
      throw std::runtime_error(where + "expected [board] or key = value");
    try {
      Apply(boards.back(), Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)));
    } catch (const std::exception& e) {
      throw std::runtime_error(where + "bad value: " + e.what());
    }
  }
  std::vector<BoardScenario> out;
  for (Pending& p : boards) {
    if (!p.rawVpd) p.board.vpd = FieldsVpd(p.serial, p.links, p.type, p.subtype);
    out.push_back(p.board);
  }
  return out;
}
