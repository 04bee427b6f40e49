#include "results/result_text.hpp"

#include <array>
#include <cstddef>
#include <cstring>

#include "json/writer.hpp"

namespace quillmarrow {

namespace {

// A decision's text is one of seven heads, the retention and one of seven
// tails, since the tier follows from the action:
//   {"action":"<action>","retention":   <double>   ,"tier":"<tier>"}
// The heads and tails are built once, at compile time, so that writing a
// decision is three copies into a local buffer and one append: this runs
// once per item of a batch. Names are plain lower-case ASCII: nothing to
// escape.
constexpr std::size_t kPieceRoom = 48;

struct Piece {
  char text[kPieceRoom] = {};
  std::size_t size = 0;

  constexpr void add(std::string_view s) {
    for (char c : s) text[size++] = c;
  }
};

struct DecisionPieces {
  Piece head;
  Piece tail;
};

constexpr std::array<DecisionPieces, kActionCount> make_decision_pieces() {
  std::array<DecisionPieces, kActionCount> pieces{};
  for (std::size_t i = 0; i < kActionCount; ++i) {
    const auto action = static_cast<Action>(i);
    pieces[i].head.add(R"({"action":")");
    pieces[i].head.add(action_name(action));
    pieces[i].head.add(R"(","retention":)");
    pieces[i].tail.add(R"(,"tier":")");
    pieces[i].tail.add(tier_name(tier_of(action)));
    pieces[i].tail.add(R"("})");
  }
  return pieces;
}

constexpr std::array<DecisionPieces, kActionCount> kDecisionPieces = make_decision_pieces();

// Copies a piece whole (a fixed-size copy: a few moves) and advances p by its size.
char* put(char* p, const Piece& piece) {
  std::memcpy(p, piece.text, kPieceRoom);
  return p + piece.size;
}

char* put(char* p, std::string_view text) {
  std::memcpy(p, text.data(), text.size());
  return p + text.size();
}

}  // namespace

static_assert(kResultTextRoom >= 2 * kPieceRoom + kDoubleTextRoom);
static_assert(kResultTextRoom >= 64 + 3 * kDoubleTextRoom);

char* write_tier_decision(char* p, const TierDecision& decision) {
  const DecisionPieces& pieces = kDecisionPieces[static_cast<std::size_t>(decision.action)];
  p = put(p, pieces.head);
  p += write_double(p, decision.retention);
  return put(p, pieces.tail);
}

char* write_retention_score(char* p, const RetentionScore& score) {
  p = put(p, R"({"boost":)");
  p += write_double(p, score.boost);
  p = put(p, R"(,"retention":)");
  p += write_double(p, score.retention);
  p = put(p, R"(,"stability":)");
  p += write_double(p, score.stability);
  *p++ = '}';
  return p;
}

void append_tier_decision(std::string& out, const TierDecision& decision) {
  char buf[kResultTextRoom];
  out.append(buf, static_cast<std::size_t>(write_tier_decision(buf, decision) - buf));
}

}  // namespace quillmarrow
