#include "engine/mox/member_rebuild.h"

#include <algorithm>
#include <map>
#include <memory>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/mox/library.h"
#include "engine/mox/mox.h"
#include "engine/mox/record_reader.h"
#include "engine/mox/stripe.h"

namespace mox {
namespace {

using ItemKind = MediumItem::Kind;

bool isEnd(const MediumItem& item) {
  return item.kind == ItemKind::kRecord &&
         (item.header.kind == Kind::kSessionEnd || item.header.kind == Kind::kContinuation);
}

// Appends records and tape marks to the rebuilt member.
class Appender {
 public:
  explicit Appender(Medium& out) : out_(out) {}
  uint64_t at() const { return at_; }
  int record(const RecordHeader& header, const void* body) {
    uint64_t size = 0;
    int rc = out_.writeRecord(at_, header, body, false, &size);
    at_ += size;
    return rc;
  }
  int image(const uint8_t* image, uint32_t length) {
    uint64_t size = 0;
    int rc = out_.writeImage(at_, image, length, &size);
    at_ += size;
    return rc;
  }
  int tapeMark() {
    int rc = out_.writeTapeMark(at_);
    at_ += 4;
    return rc;
  }
  int label(Label label, uint16_t member) {
    label.memberIndex = member;
    uint8_t body[kLabelBodySize];
    encodeLabel(label, body);
    return record(labelHeader(label), body);
  }

 private:
  Medium& out_;
  uint64_t at_ = 0;
};

// RAID 1: the finished sessions of a sound mirror, record by record, under
// a label of the target's own.
int copyMember(Medium& from, const CartridgeMap& map, uint16_t target, Medium& out) {
  if (map.blank) return MOX_OK;
  Appender append(out);
  int rc = append.label(map.label, target);
  RecordReader reader(from);
  MediumItem item;
  if (rc == MOX_OK) rc = reader.rewind();
  if (rc == MOX_OK) rc = reader.next(&item);  // its own label
  bool afterEnd = false;
  while (rc == MOX_OK && append.at() < map.appendOffset) {
    if ((rc = reader.next(&item, ~0u, afterEnd)) != MOX_OK) break;
    if (item.kind == ItemKind::kEnd) {
      // The tape mark its writer did not get to, written by the next one.
      rc = afterEnd && append.at() + 4 == map.appendOffset ? append.tapeMark() : MOX_E_DEGRADED;
      break;
    }
    if (item.kind == ItemKind::kTapeMark) {
      rc = append.tapeMark();
    } else if (item.kind != ItemKind::kRecord || item.body != MOX_OK) {
      rc = MOX_E_DEGRADED;  // the mirror is damaged where it should be whole
    } else {
      rc = append.image(reader.image(), kHeaderSize + item.header.storedLength);
    }
    afterEnd = isEnd(item);
  }
  return rc;
}

// RAID 5: every other member read once, front to back, a record of each in
// turn, session by session. A stripe's record of the target is written as
// soon as what it is made of has been read: the parity of the stripe's
// blocks, or a block from the stripe's parity and its other blocks.
class ParityRebuild {
 public:
  ParityRebuild(const CartSet& set, size_t target, Medium& out)
      : set_(set),
        target_(static_cast<int>(target)),
        layout_(5, static_cast<int>(set.memberCount())),
        d_(layout_.stripeUnits()),
        append_(out) {}

  int run(const CartridgeMap& reference);

 private:
  // A stripe of a stream being made again, by (stream, stripe).
  struct Open {
    explicit Open(uint32_t units) : parity(units), rebuild(units), seen(units, false) {}
    StripeParity parity;    // the target holds the stripe's parity
    StripeRebuild rebuild;  // the target holds a block of the stripe
    std::vector<bool> seen;
  };
  using Key = std::pair<uint16_t, uint32_t>;
  struct Source {
    int member = 0;
    std::unique_ptr<RecordReader> reader;
    bool ended = false;
    std::map<uint16_t, uint32_t> next;  // per stream: the block after the last one read
  };

  int session(size_t index, const SessionExtent& ext);
  int take(Source& source, uint32_t session);
  Open& open(const Key& key) {
    auto it = open_.find(key);
    if (it == open_.end()) it = open_.emplace(key, std::make_unique<Open>(d_)).first;
    return *it->second;
  }
  bool holdsParity(const Key& key) const {
    return layout_.parityMember(key.first, key.second) == target_;
  }
  // True when every block of a stripe whose parity the target holds has been
  // read, or its member has gone past it.
  bool parityReady(const Key& key, const Open& o) const;
  // Writes the target's record of the stripe when it is ready; *done when
  // the stripe needs no more.
  int emitIfReady(const Key& key, Open& o, bool last, bool* done);
  // Writes the index records of the session part.
  int flushIndex();

  const CartSet& set_;
  int target_;
  MemberLayout layout_;
  uint32_t d_;
  Appender append_;
  uint32_t session_ = 0;
  std::vector<Source> sources_;
  std::map<Key, std::unique_ptr<Open>> open_;
  std::vector<IndexEntry> pending_;
  std::vector<uint64_t> indexOffsets_;
};

int ParityRebuild::run(const CartridgeMap& reference) {
  if (reference.blank) return MOX_OK;
  int rc = append_.label(reference.label, static_cast<uint16_t>(target_));
  for (size_t e = 0; rc == MOX_OK && e < reference.sessions.size(); ++e) {
    rc = session(e, reference.sessions[e]);
  }
  return rc;
}

bool ParityRebuild::parityReady(const Key& key, const Open& o) const {
  for (uint32_t t = 0; t < d_; ++t) {
    if (o.seen[t]) continue;
    int member = layout_.unitMember(target_, t);
    for (const Source& s : sources_) {
      if (s.member != member || s.ended) continue;
      auto it = s.next.find(key.first);
      // Blocks of a stream lie on a member in their order.
      if (it == s.next.end() || it->second <= key.second * d_ + t) return false;
    }
  }
  return true;
}

int ParityRebuild::emitIfReady(const Key& key, Open& o, bool last, bool* done) {
  *done = false;
  auto [stream, stripe] = key;
  if (holdsParity(key)) {
    if (!last && !parityReady(key, o)) return MOX_OK;
    *done = true;
    std::vector<uint8_t> body = o.parity.body();
    pending_.push_back({stream, 1, stripe, append_.at()});
    return append_.record(
        parityHeader(stream, session_, stripe, static_cast<uint16_t>(target_), d_, body.size()),
        body.data());
  }
  uint32_t unit = layout_.unitOnMember(layout_.parityMember(stream, stripe), target_);
  if (o.rebuild.hasParity() && o.rebuild.lengthOf(unit) == 0) {
    *done = true;  // the block is not on this cartridge set
    return MOX_OK;
  }
  if (!o.rebuild.complete(unit)) return last ? MOX_E_DEGRADED : MOX_OK;
  *done = true;
  const uint8_t* image = nullptr;
  uint32_t length = 0;
  RecordHeader h;
  int rc = o.rebuild.result(unit, &image, &length, &h);
  if (rc != MOX_OK) return rc;
  pending_.push_back({stream, 0, h.sequence, append_.at()});
  return append_.image(image, length);
}

int ParityRebuild::flushIndex() {
  // Stripes are made again in the order their records are read, which is
  // not each stream's order: the index records, which readers follow in
  // each stream's order, close the session part sorted.
  std::sort(pending_.begin(), pending_.end(), [](const IndexEntry& a, const IndexEntry& b) {
    return std::tie(a.stream, a.parity, a.sequence) < std::tie(b.stream, b.parity, b.sequence);
  });
  for (size_t from = 0; from < pending_.size(); from += kIndexBatch) {
    size_t to = std::min(pending_.size(), from + kIndexBatch);
    std::vector<uint8_t> body =
        encodeIndex(std::vector<IndexEntry>(pending_.begin() + from, pending_.begin() + to));
    indexOffsets_.push_back(append_.at());
    int rc = append_.record(
        controlHeader(Kind::kIndex, session_, static_cast<uint16_t>(target_), body.size()),
        body.data());
    if (rc != MOX_OK) return rc;
  }
  pending_.clear();
  return MOX_OK;
}

int ParityRebuild::take(Source& source, uint32_t session) {
  MediumItem item;
  uint32_t bodies = bodyOf(Kind::kData) | bodyOf(Kind::kParity);
  int rc = source.reader->next(&item, bodies);
  if (rc != MOX_OK) return rc;
  if (item.kind != ItemKind::kRecord || item.header.session != session) return MOX_E_MEDIA;
  const RecordHeader& h = item.header;
  if (isEnd(item)) {
    source.ended = true;
    return MOX_OK;
  }
  if (h.kind != Kind::kData && h.kind != Kind::kParity) return MOX_OK;  // index records
  if (item.body != MOX_OK) return item.body;
  const uint8_t* image = source.reader->image();
  uint32_t length = static_cast<uint32_t>(kHeaderSize + h.storedLength);
  Key key{h.stream, h.kind == Kind::kParity ? h.sequence : layout_.stripeOf(h.sequence)};
  Open& o = open(key);
  if (h.kind == Kind::kParity) {
    rc = o.rebuild.addParity(image + kHeaderSize, h.storedLength);
  } else {
    uint32_t unit = layout_.unitOf(h.sequence);
    o.seen[unit] = true;
    source.next[h.stream] = h.sequence + 1;
    if (holdsParity(key)) {
      o.parity.add(unit, image, length);
    } else {
      o.rebuild.addUnit(unit, image, length);
    }
  }
  return rc;
}

int ParityRebuild::session(size_t index, const SessionExtent& ext) {
  session_ = ext.session;
  open_.clear();
  pending_.clear();
  indexOffsets_.clear();
  sources_.clear();
  for (size_t i = 0; i < set_.memberCount(); ++i) {
    if (static_cast<int>(i) == target_) continue;
    Source source;
    source.member = static_cast<int>(i);
    source.reader = std::make_unique<RecordReader>(*set_.media[i]);
    int rc = positionAtSession(*set_.media[i], set_.maps[i], index);
    if (rc != MOX_OK) return rc;
    sources_.push_back(std::move(source));
  }
  // The session start record, as the other members hold it.
  MediumItem item;
  for (Source& source : sources_) {
    int rc = source.reader->next(&item, bodyOf(Kind::kSessionStart));
    if (rc != MOX_OK) return rc;
    if (item.kind != ItemKind::kRecord || item.header.kind != Kind::kSessionStart ||
        item.header.session != session_ || item.body != MOX_OK) {
      return MOX_E_MEDIA;
    }
    if (&source != &sources_.front()) continue;
    RecordHeader h = item.header;
    h.member = static_cast<uint16_t>(target_);
    if ((rc = append_.record(h, source.reader->body())) != MOX_OK) return rc;
  }
  for (bool reading = true; reading;) {
    reading = false;
    for (Source& source : sources_) {
      if (source.ended) continue;
      reading = true;
      int rc = take(source, session_);
      if (rc != MOX_OK) return rc;
    }
    bool last = !reading;
    for (auto it = open_.begin(); it != open_.end();) {
      bool done = false;
      int rc = emitIfReady(it->first, *it->second, last, &done);
      if (rc != MOX_OK) return rc;
      it = done ? open_.erase(it) : std::next(it);
    }
  }
  int rc = flushIndex();
  if (rc != MOX_OK) return rc;
  SessionEnd end;
  end.streamBlocks = ext.end.streamBlocks;
  end.indexOffsets = indexOffsets_;
  std::vector<uint8_t> body = encodeSessionEnd(end);
  rc = append_.record(controlHeader(ext.continued ? Kind::kContinuation : Kind::kSessionEnd,
                                    session_, static_cast<uint16_t>(target_), body.size()),
                      body.data());
  return rc == MOX_OK ? append_.tapeMark() : rc;
}

// MOX_OK when every member but `target` is sound and holds the same sessions.
int soundOthers(const CartSet& set, size_t target) {
  size_t ref = target == 0 ? 1 : 0;
  for (size_t i = 0; i < set.memberCount(); ++i) {
    if (i == target) continue;
    if (set.failed[i] || set.damaged[i] || set.media[i] == nullptr) return MOX_E_DEGRADED;
    if (set.maps[i].sessions.size() != set.maps[ref].sessions.size()) return MOX_E_DEGRADED;
  }
  return MOX_OK;
}

// A medium that takes what a rebuild writes and keeps nothing: a rebuild
// run onto it reads every other member as the real one would and says
// whether the member could be made, before anything is written.
class DiscardMedium final : public Medium {
 public:
  MediumTraits traits() const override { return {}; }
  const std::string& path() const override { return path_; }
  int rewind() override { return MOX_OK; }
  int spaceTapeMarks(uint32_t) override { return MOX_E_MEDIA; }
  int spaceToEndOfData() override { return MOX_OK; }
  uint64_t position() const override { return 0; }
  int readNext(const ReadWant&, MediumItem* item) override {
    item->kind = ItemKind::kEnd;
    return MOX_OK;
  }
  int dataEnd(uint64_t* address) override {
    *address = 0;
    return MOX_OK;
  }
  int writeLabel(const Label&) override { return MOX_OK; }
  int writeRecord(uint64_t, const RecordHeader& header, const void*, bool,
                  uint64_t* size) override {
    *size = framedSize(kHeaderSize + header.storedLength);
    return MOX_OK;
  }
  int writeImage(uint64_t, const uint8_t*, uint32_t length, uint64_t* size) override {
    *size = framedSize(length);
    return MOX_OK;
  }
  int writeTapeMark(uint64_t) override { return MOX_OK; }
  int sync() override { return MOX_OK; }
  int cut(uint64_t) override { return MOX_OK; }

 private:
  std::string path_;
};

}  // namespace

int verifyMemberRebuild(const CartSet& set, const RaidLevel& raid, size_t source, size_t target) {
  DiscardMedium sink;
  return rebuildMemberOnto(set, raid, source, target, sink);
}

int rebuildMemberOnto(const CartSet& set, const RaidLevel& raid, size_t source, size_t target,
                      Medium& out) {
  switch (raid.rebuild()) {
    case MemberRebuild::kCopy:
      if (source >= set.memberCount() || set.names[source].empty()) return MOX_E_NO_TAPE;
      if (set.failed[source] || set.media[source] == nullptr) return MOX_E_DEGRADED;
      return copyMember(*set.media[source], set.maps[source], static_cast<uint16_t>(target), out);
    case MemberRebuild::kParity: {
      int rc = soundOthers(set, target);
      if (rc != MOX_OK) return rc;
      return ParityRebuild(set, target, out).run(set.maps[target == 0 ? 1 : 0]);
    }
    case MemberRebuild::kNone:
      break;
  }
  return MOX_E_LEVEL_UNSUPPORTED;
}

}  // namespace mox
