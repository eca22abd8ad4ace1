// Machine-readable descriptions of the module's Python interface, exported as
// data symbols for stub generators (tools/release/gen-stub reads them out of the built
// shared object). Each record is a 32-bit little-endian byte count followed by
// that many bytes of JSON holding one object. The JSON is built at compile
// time, so the records are plain read-only data and cost nothing at run time.
//
// The exported name is VORN_RS_INTROSPECTION_1_ and the record's identifier.
// Identifiers are grouped per class (module 1, SerialParser 100.., MockParser
// 200.., IMUPacket 300..); within a class they follow the attribute order.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fields.hpp"

namespace vorn::py::introspection {

constexpr std::uint64_t kModuleId = 1;
constexpr std::uint64_t kSerialParserId = 100;
constexpr std::uint64_t kMockParserId = 200;
constexpr std::uint64_t kPacketId = 300;

struct Param {
  std::string_view name;
  std::string_view annotation;
  std::string_view default_text{};  // source text; empty when required
};

struct ModuleDesc {
  std::uint64_t id;
  std::string_view name;
};

struct ClassDesc {
  std::uint64_t id;
  std::string_view name;
};

struct FunctionDesc {
  std::string_view name;
  std::uint64_t parent;
  std::string_view receiver = "self";  // "cls" for __new__
  std::array<Param, 3> params{};       // unused slots have an empty name
  std::string_view returns = "None";
  bool property = false;
};

// Writes JSON into `out`, or only counts its bytes when `out` is null, so the
// same code sizes a record and then fills it.
class JsonWriter {
 public:
  constexpr explicit JsonWriter(unsigned char* out) : out_(out) {}

  constexpr std::size_t size() const { return size_; }

  constexpr void raw(std::string_view text) {
    for (char c : text) {
      if (out_) out_[size_] = static_cast<unsigned char>(c);
      ++size_;
    }
  }

  // Names and annotations never need escaping; refusing the characters that
  // would keeps a careless edit from producing broken JSON.
  constexpr void string(std::string_view text) {
    for (char c : text) {
      if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20) throw "character needs escaping";
    }
    raw("\"");
    raw(text);
    raw("\"");
  }

  // Identifiers are JSON strings holding decimal digits.
  constexpr void id(std::uint64_t value) {
    char digits[20] = {};
    std::size_t count = 0;
    do {
      digits[count++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    raw("\"");
    while (count > 0) raw(std::string_view(&digits[--count], 1));
    raw("\"");
  }

  constexpr void key(std::string_view name) {
    raw(first_ ? "" : ",");
    first_ = false;
    string(name);
    raw(":");
  }

  constexpr void string_member(std::string_view name, std::string_view value) {
    key(name);
    string(value);
  }

  constexpr void id_member(std::string_view name, std::uint64_t value) {
    key(name);
    id(value);
  }

  constexpr void raw_member(std::string_view name, std::string_view json) {
    key(name);
    raw(json);
  }

  constexpr void open() {
    raw("{");
    first_ = true;
  }

  constexpr void close() {
    raw("}");
    first_ = false;
  }

 private:
  unsigned char* out_;
  std::size_t size_ = 0;
  bool first_ = true;
};

constexpr void write_json(JsonWriter& w, const ModuleDesc& module) {
  w.open();
  w.string_member("type", "module");
  w.string_member("name", module.name);
  w.id_member("id", module.id);
  w.raw_member("members", "[]");
  w.raw_member("incomplete", "true");
  w.close();
}

constexpr void write_json(JsonWriter& w, const ClassDesc& cls) {
  w.open();
  w.string_member("type", "class");
  w.string_member("name", cls.name);
  w.id_member("id", cls.id);
  w.close();
}

constexpr void write_json(JsonWriter& w, const FunctionDesc& fn) {
  w.open();
  w.string_member("type", "function");
  w.string_member("name", fn.name);
  w.id_member("parent", fn.parent);
  w.key("arguments");
  w.open();
  w.key("posonlyargs");
  w.raw("[");
  w.open();
  w.string_member("name", fn.receiver);
  w.close();
  w.raw("]");
  if (!fn.params[0].name.empty()) {
    w.key("args");
    w.raw("[");
    for (std::size_t i = 0; i < fn.params.size() && !fn.params[i].name.empty(); ++i) {
      const Param& p = fn.params[i];
      if (i > 0) w.raw(",");
      w.open();
      w.string_member("name", p.name);
      w.string_member("annotation", p.annotation);
      if (!p.default_text.empty()) w.string_member("default", p.default_text);
      w.close();
    }
    w.raw("]");
  }
  w.close();
  w.string_member("returns", fn.returns);
  if (fn.property) w.raw_member("decorators", "[\"property\"]");
  w.close();
}

template <std::size_t N>
struct Record {
  unsigned char bytes[4 + N];
};

// The record of `Desc`, exported under `Id`; a module or class record carries
// the same identifier in its JSON, where function records refer to it.
template <std::uint64_t Id, const auto& Desc>
consteval auto make_record() {
  if constexpr (requires { Desc.id; }) static_assert(Desc.id == Id);
  constexpr std::size_t size = [] {
    JsonWriter counter(nullptr);
    write_json(counter, Desc);
    return counter.size();
  }();
  static_assert(size <= UINT32_MAX);
  Record<size> record{};
  JsonWriter writer(record.bytes + 4);
  write_json(writer, Desc);
  for (std::size_t i = 0; i < 4; ++i) record.bytes[i] = static_cast<unsigned char>(size >> (8 * i));
  return record;
}

// The module and its classes.
constexpr ModuleDesc kModule{kModuleId, "vorn_rs"};
constexpr ClassDesc kSerialParser{kSerialParserId, "SerialParser"};
constexpr ClassDesc kMockParser{kMockParserId, "MockParser"};
constexpr ClassDesc kPacket{kPacketId, "IMUPacket"};

// The parser classes; everything but the constructor is shared.
constexpr Param kTimeout{"timeout", "float | None", "0.1"};
constexpr FunctionDesc kSerialNew{.name = "__new__",
                                  .parent = kSerialParserId,
                                  .receiver = "cls",
                                  .params = {{{"port", "typing.Any"}, {"baudrate", "int | None", "None"}, kTimeout}}};
constexpr FunctionDesc kMockNew{
    .name = "__new__", .parent = kMockParserId, .receiver = "cls", .params = {{{"path", "typing.Any"}, kTimeout}}};

template <std::uint64_t Parent>
constexpr FunctionDesc kStart{.name = "start", .parent = Parent};
template <std::uint64_t Parent>
constexpr FunctionDesc kStop{.name = "stop", .parent = Parent};
template <std::uint64_t Parent>
constexpr FunctionDesc kIsRunning{.name = "is_running", .parent = Parent, .returns = "bool"};
template <std::uint64_t Parent>
constexpr FunctionDesc kGetDataPackets{
    .name = "get_data_packets", .parent = Parent, .params = {{{"block", "bool", "False"}}}, .returns = "typing.Any"};
template <std::uint64_t Parent>
constexpr FunctionDesc kEnter{.name = "__enter__", .parent = Parent, .returns = "typing.Any"};
template <std::uint64_t Parent>
constexpr FunctionDesc kExit{.name = "__exit__",
                             .parent = Parent,
                             .params = {{{"_exc_type", "typing.Any | None"},
                                         {"_exc_value", "typing.Any | None"},
                                         {"_traceback", "typing.Any | None"}}},
                             .returns = "typing.Any"};

// The packet class: read-only properties in record order, three of every
// packet and then the field table's, and __str__.
struct PropertyDesc {
  std::string_view name;
  std::string_view returns = "typing.Any";
};
constexpr auto kPacketProperties = [] {
  std::array<PropertyDesc, 3 + kFields.size()> properties{
      {{"packet_type", "str"}, {"timestamp", "int"}, {"invalid_fields"}}};
  for (std::size_t i = 0; i < kFields.size(); ++i) properties[3 + i].name = kFields[i].name;
  return properties;
}();

template <std::size_t Index>
constexpr FunctionDesc kProperty{.name = kPacketProperties[Index].name,
                                 .parent = kPacketId,
                                 .returns = kPacketProperties[Index].returns,
                                 .property = true};
constexpr FunctionDesc kPacketStr{.name = "__str__", .parent = kPacketId, .returns = "str"};

// The exported records. C linkage keeps the names free of the namespace; the
// macro puts one identifier into both the symbol and the record.
#define VORN_INTROSPECTION_RECORD(id, desc)                                                             \
  extern "C" __attribute__((visibility("default"), used)) constexpr auto VORN_RS_INTROSPECTION_1_##id = \
      make_record<id, desc>()

VORN_INTROSPECTION_RECORD(1, kModule);

VORN_INTROSPECTION_RECORD(100, kSerialParser);
VORN_INTROSPECTION_RECORD(101, kSerialNew);
VORN_INTROSPECTION_RECORD(102, kStart<kSerialParserId>);
VORN_INTROSPECTION_RECORD(103, kStop<kSerialParserId>);
VORN_INTROSPECTION_RECORD(104, kIsRunning<kSerialParserId>);
VORN_INTROSPECTION_RECORD(105, kGetDataPackets<kSerialParserId>);
VORN_INTROSPECTION_RECORD(106, kEnter<kSerialParserId>);
VORN_INTROSPECTION_RECORD(107, kExit<kSerialParserId>);

VORN_INTROSPECTION_RECORD(200, kMockParser);
VORN_INTROSPECTION_RECORD(201, kMockNew);
VORN_INTROSPECTION_RECORD(202, kStart<kMockParserId>);
VORN_INTROSPECTION_RECORD(203, kStop<kMockParserId>);
VORN_INTROSPECTION_RECORD(204, kIsRunning<kMockParserId>);
VORN_INTROSPECTION_RECORD(205, kGetDataPackets<kMockParserId>);
VORN_INTROSPECTION_RECORD(206, kEnter<kMockParserId>);
VORN_INTROSPECTION_RECORD(207, kExit<kMockParserId>);

VORN_INTROSPECTION_RECORD(300, kPacket);
VORN_INTROSPECTION_RECORD(301, kProperty<0>);
VORN_INTROSPECTION_RECORD(302, kProperty<1>);
VORN_INTROSPECTION_RECORD(303, kProperty<2>);
VORN_INTROSPECTION_RECORD(304, kProperty<3>);
VORN_INTROSPECTION_RECORD(305, kProperty<4>);
VORN_INTROSPECTION_RECORD(306, kProperty<5>);
VORN_INTROSPECTION_RECORD(307, kProperty<6>);
VORN_INTROSPECTION_RECORD(308, kProperty<7>);
VORN_INTROSPECTION_RECORD(309, kProperty<8>);
VORN_INTROSPECTION_RECORD(310, kProperty<9>);
VORN_INTROSPECTION_RECORD(311, kProperty<10>);
VORN_INTROSPECTION_RECORD(312, kProperty<11>);
VORN_INTROSPECTION_RECORD(313, kProperty<12>);
VORN_INTROSPECTION_RECORD(314, kProperty<13>);
VORN_INTROSPECTION_RECORD(315, kProperty<14>);
VORN_INTROSPECTION_RECORD(316, kPacketStr);
static_assert(316 == kPacketId + 1 + kPacketProperties.size(), "one record per property, then __str__");

}  // namespace vorn::py::introspection
