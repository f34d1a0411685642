// The C entry points driven as a host would, with arbitrary identifiers,
// member names, values and handles: every call answers with a status (and a
// description for any failure), nothing crashes or leaks, and once every
// handle is released no object is left alive. Operations run on an SQLite
// store of their own.
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tavikuser/tavikuser.h"

namespace {

constexpr const char* kProgids[] = {"TavikUser.Rights",
                                    "TavikUser.Role",
                                    "TavikUser.UserGroup",
                                    "TavikUser.CheckAccessRights",
                                    "TavikUser.User",
                                    "ADODB.Connection",
                                    "TavikSystem.CounterTransaction"};
constexpr std::size_t kSlots = 4;

void Require(bool holds) {
  if (!holds) std::abort();
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(c));
  return lower;
}

// The store, and every member name of every class.
struct World {
  std::string path;
  std::string connection_string;
  std::vector<std::string> members;
};

World& TheWorld() {
  static World world;
  return world;
}

// A store with the host tables, in memory-backed /dev/shm where there is
// one, so that writes cost no disk flush; removed when the fuzzer ends.
void MakeStore() {
  World& world = TheWorld();
  const std::string folder =
      std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp";
  world.path = folder + "/tavik-fuzz-" + std::to_string(getpid()) + ".db";
  world.connection_string = "Provider=SQLite;Data Source=" + world.path;
  std::filesystem::remove(world.path);
  std::atexit([] { std::filesystem::remove(TheWorld().path); });

  std::ifstream schema_file(TAVIK_SCHEMA);
  std::stringstream schema;
  schema << schema_file.rdbuf();
  sqlite3* database = nullptr;
  Require(sqlite3_open(world.path.c_str(), &database) == SQLITE_OK);
  Require(sqlite3_exec(database, schema.str().c_str(), nullptr, nullptr,
                       nullptr) == SQLITE_OK);
  sqlite3_close(database);

  for (const char* progid : kProgids) {
    tavik_object* object = nullptr;
    Require(tavik_create(progid, &object) == TAVIK_OK);
    std::size_t count = 0;
    Require(tavik_member_count(object, &count) == TAVIK_OK);
    for (std::size_t i = 0; i < count; ++i) {
      const char* name = nullptr;
      tavik_member_kind kind;
      Require(tavik_member_info(object, i, &name, &kind) == TAVIK_OK);
      world.members.emplace_back(name);
    }
    tavik_object_release(object);
  }
  Require(tavik_can_unload_now() == 1);
}

// Reads the fuzzer's input as a host's program.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size)
      : data_(data), size_(size) {}

  bool done() const { return position_ >= size_; }
  std::uint8_t Byte() { return done() ? 0 : data_[position_++]; }

  // A text of up to 255 bytes; a NUL ends it early, as it would in C.
  std::string Text() {
    const std::size_t length = std::min<std::size_t>(Byte(), size_ - position_);
    std::string text(reinterpret_cast<const char*>(data_ + position_), length);
    position_ += length;
    return text.substr(0, text.find('\0'));
  }

  // Mostly a real one, sometimes anything.
  std::string Progid() {
    const std::uint8_t choice = Byte();
    if (choice < 200) return kProgids[choice % std::size(kProgids)];
    return Text();
  }
  std::string Member() {
    const std::uint8_t choice = Byte();
    const std::vector<std::string>& members = TheWorld().members;
    std::string member =
        choice < 220 ? members[choice % members.size()] : Text();
    if (Byte() & 1) member = Lower(member);
    return member;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

// A status from the known set; a failure leaves its description.
void CheckStatus(tavik_status status) {
  Require(status <= TAVIK_OK && status >= TAVIK_E_NO_MEMORY);
  if (status != TAVIK_OK) {
    const char* error = tavik_last_error();
    Require(error != nullptr && *error != '\0');
  }
}

// Values a host may hand over; texts naming a connection string are kept
// to the fuzzer's own store, so that no input opens other files or servers.
tavik_value* MakeValue(Input& input, tavik_object* const* slots,
                       std::string_view member) {
  switch (input.Byte() % 6) {
    case 0:
      return tavik_value_empty();
    case 1:
      return tavik_value_bool(input.Byte() & 1);
    case 2:
      return tavik_value_i4(static_cast<std::int32_t>(input.Byte()) - 128);
    case 3:
      return tavik_value_date((input.Byte() - 128) * 365.25);
    case 4:
      return tavik_value_object(slots[input.Byte() % kSlots]);
  }
  if (Lower(member).find("connectionstring") != std::string::npos) {
    return tavik_value_text(TheWorld().connection_string.c_str());
  }
  return tavik_value_text(input.Text().c_str());
}

// Members that would run the host's own SQL or hold the store's write lock
// across calls, making other calls wait out the busy timeout.
bool RunsHostSqlOrHoldsTheStore(std::string_view member) {
  const std::string lower = Lower(member);
  return lower == "execute" || lower == "begintrans";
}

void Run(Input& input) {
  tavik_object* slots[kSlots] = {};
  while (!input.done()) {
    tavik_object*& slot = slots[input.Byte() % kSlots];
    const std::uint8_t operation = input.Byte() % 12;
    if (operation == 0) {
      tavik_object_release(slot);
      slot = nullptr;
      const std::string progid = input.Progid();
      CheckStatus(tavik_create(progid.c_str(), &slot));
      continue;
    }
    const std::string member = input.Member();
    if (RunsHostSqlOrHoldsTheStore(member)) continue;
    switch (operation) {
      case 1: {
        const bool connection_string =
            Lower(member).find("connectionstring") != std::string::npos;
        const std::string text =
            connection_string ? TheWorld().connection_string : input.Text();
        CheckStatus(tavik_let_text(slot, member.c_str(), text.c_str()));
        break;
      }
      case 2: {
        char* text = nullptr;
        CheckStatus(tavik_get_text(slot, member.c_str(), &text));
        tavik_free(text);
        break;
      }
      case 3: {
        int result = 0;
        const std::string argument = input.Text();
        CheckStatus(tavik_call_bool(
            slot, member.c_str(), input.Byte() & 1 ? argument.c_str() : nullptr,
            &result));
        Require(result == 0 || result == 1);
        break;
      }
      case 4:
        CheckStatus(tavik_let_date(slot, member.c_str(), input.Byte() * 100.5));
        break;
      case 5: {
        double date = 0;
        CheckStatus(tavik_get_date(slot, member.c_str(), &date));
        break;
      }
      case 6: {
        tavik_value* value = MakeValue(input, slots, member);
        CheckStatus(tavik_let(slot, member.c_str(), value));
        tavik_value_destroy(value);
        break;
      }
      case 7: {
        tavik_value* value = nullptr;
        CheckStatus(tavik_get(slot, member.c_str(), &value));
        tavik_value_type(value);
        tavik_value_as_text(value);
        tavik_value_as_bool(value);
        tavik_value_as_i4(value);
        tavik_value_as_date(value);
        tavik_value_as_object(value);
        tavik_value_destroy(value);
        break;
      }
      case 8: {
        std::vector<tavik_value*> arguments(input.Byte() % 3);
        for (tavik_value*& argument : arguments) {
          argument = MakeValue(input, slots, member);
        }
        tavik_value* result = nullptr;
        CheckStatus(tavik_call(slot, member.c_str(), arguments.data(),
                               arguments.size(), &result));
        tavik_value_destroy(result);
        for (tavik_value* argument : arguments) tavik_value_destroy(argument);
        break;
      }
      case 9:
        CheckStatus(
            tavik_set(slot, member.c_str(), slots[input.Byte() % kSlots]));
        break;
      case 10: {
        const char* name = nullptr;
        tavik_member_kind kind;
        CheckStatus(tavik_member_info(slot, input.Byte(), &name, &kind));
        std::size_t count = 0;
        CheckStatus(tavik_member_count(slot, &count));
        break;
      }
      default:
        // A second reference, given back at once.
        tavik_object_addref(slot);
        tavik_object_release(slot);
        break;
    }
  }
  for (tavik_object* object : slots) tavik_object_release(object);
  Require(tavik_can_unload_now() == 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  MakeStore();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  Input input(data, size);
  Run(input);
  return 0;
}
