#include "engine/mox/session_reader.h"

#include <algorithm>

#include "engine/mox/mox.h"

namespace mox {
namespace {

bool noneNamed(const std::vector<std::string>& names) {
  return std::all_of(names.begin(), names.end(), [](const std::string& n) { return n.empty(); });
}

}  // namespace

SessionReader::SessionReader(const GroupSetup& setup, uint32_t session)
    : setup_(setup), session_(session) {}

SessionReader::~SessionReader() = default;

int SessionReader::open(const GroupSetup& setup, const std::shared_ptr<CartSet>& mounted,
                        uint32_t session, std::unique_ptr<SessionReader>* reader) {
  // Media that read at any address are read through the index; a medium
  // that reads only forward is read front to back.
  bool sequential = std::any_of(mounted->media.begin(), mounted->media.end(), [](const auto& m) {
    return m != nullptr && m->randomAccess() == nullptr;
  });
  std::unique_ptr<SessionReader> made = sequential ? makeSequentialReader(setup, *mounted, session)
                                                   : makeIndexedReader(setup, session);
  int rc = made->resolveChain(mounted);
  if (rc != MOX_OK) return rc;
  *reader = std::move(made);
  return MOX_OK;
}

int SessionReader::resolveChain(const std::shared_ptr<CartSet>& mounted) {
  // Back from the mounted set to the set the session starts on.
  std::shared_ptr<CartSet> cur = mounted;
  size_t members = setup_.layout.members();
  const SessionExtent* ext = nullptr;
  for (int hops = 0;; ++hops) {
    if (hops > 10000) return MOX_E_MEDIA;
    const CartridgeMap* map = cur->anyMap();
    if (map == nullptr) return MOX_E_DEGRADED;
    ext = cur->findSession(session_);
    const SessionExtent* front =
        map->sessions.empty() ? nullptr : cur->findSession(map->sessions.front().session);
    uint64_t prev = 0;
    if (ext != nullptr) {
      if (ext->start.setIndex == 0) break;
      prev = ext->start.prevSetId;
      // NOLINTNEXTLINE(bugprone-branch-clone): past the last session, whatever the labels say
    } else if (!map->sessions.empty() && session_ > map->sessions.back().session) {
      return MOX_E_NO_SESSION;
    } else if (front != nullptr && front->start.setIndex > 0) {
      // The labels name the set before as the library keeps it: after an
      // erase of the set the first part came from, the set before that.
      prev = cur->labelPrevSetId() != 0 ? cur->labelPrevSetId() : front->start.prevSetId;
    } else if (cur->labelPrevSetId() != 0) {
      prev = cur->labelPrevSetId();
    } else {
      return MOX_E_NO_SESSION;
    }
    auto names = findSetById(setup_.home, prev, members);
    if (noneNamed(names)) return MOX_E_NO_TAPE;
    cur = openSet(setup_.home, names, false);
  }
  // Then on, as far as the library holds the sets that continue it.
  join(cur, *ext);
  while (extendChain()) {
  }
  // The autoloader mounts the first set that holds a block of the session:
  // a session opened on a full set has its first blocks on the next one.
  mounted_ = 0;
  while (mounted_ + 1 < setBlocks_.size() &&
         std::all_of(setBlocks_[mounted_].begin(), setBlocks_[mounted_].end(),
                     [](uint32_t n) { return n == 0; })) {
    ++mounted_;
  }
  return MOX_OK;
}

void SessionReader::join(const std::shared_ptr<CartSet>& set, const SessionExtent& ext) {
  chain_.push_back(set);
  motionBase_.push_back(motionOf(*set));
  setBlocks_.push_back(ext.end.streamBlocks);
  chainComplete_ = !ext.continued;
  streamTotal_ =
      std::max<uint16_t>(streamTotal_, static_cast<uint16_t>(ext.end.streamBlocks.size()));
  onSetJoined(*set);
}

bool SessionReader::extendChain() {
  if (chainComplete_ || chain_.empty()) return false;
  auto names = findContinuation(setup_.home, session_, chain_.back()->setId,
                                static_cast<size_t>(setup_.layout.members()));
  if (noneNamed(names)) return false;
  auto next = openSet(setup_.home, names, false);
  const SessionExtent* ext = next->findSession(session_);
  if (ext == nullptr) return false;
  join(next, *ext);
  return true;
}

int SessionReader::nextSetNames(std::vector<std::string>* names) {
  if (mounted_ + 1 >= chain_.size()) extendChain();
  if (mounted_ + 1 >= chain_.size()) return MOX_E_NO_TAPE;
  *names = chain_[mounted_ + 1]->names;
  return MOX_OK;
}

std::shared_ptr<CartSet> SessionReader::nextSet() const {
  return mounted_ + 1 < chain_.size() ? chain_[mounted_ + 1] : nullptr;
}

int SessionReader::mountNext(const std::shared_ptr<CartSet>& set) {
  if (set == nullptr || mounted_ + 1 >= chain_.size() || set != chain_[mounted_ + 1]) {
    return MOX_E_NOT_CONNECTED;
  }
  ++mounted_;
  return MOX_OK;
}

std::vector<Medium::Motion> SessionReader::motionOf(const CartSet& set) {
  std::vector<Medium::Motion> motion(set.memberCount());
  for (size_t m = 0; m < set.memberCount(); ++m) {
    if (set.media[m] != nullptr) motion[m] = set.media[m]->motion();
  }
  return motion;
}

void SessionReader::countMotionFromNow() {
  for (size_t j = 0; j < chain_.size(); ++j) motionBase_[j] = motionOf(*chain_[j]);
}

std::vector<MemberReads> SessionReader::memberReads() const {
  std::vector<MemberReads> reads(static_cast<size_t>(setup_.layout.members()));
  for (size_t j = 0; j < chain_.size(); ++j) {
    std::vector<Medium::Motion> now = motionOf(*chain_[j]);
    for (size_t m = 0; m < now.size() && m < reads.size(); ++m) {
      reads[m].passes += passesOver(j, static_cast<int>(m));
      // A medium opened anew since (a member replaced) counts from zero.
      const Medium::Motion& base = motionBase_[j][m];
      reads[m].rewinds += now[m].rewinds - std::min(base.rewinds, now[m].rewinds);
      reads[m].spacings += now[m].spacings - std::min(base.spacings, now[m].spacings);
    }
  }
  return reads;
}

bool SessionReader::locateBlock(uint16_t stream, uint32_t block, size_t* setIndex) const {
  uint64_t base = 0;
  for (size_t j = 0; j < setBlocks_.size(); ++j) {
    uint32_t count = stream < setBlocks_[j].size() ? setBlocks_[j][stream] : 0;
    if (block < base + count) {
      *setIndex = j;
      return true;
    }
    base += count;
  }
  return false;
}

}  // namespace mox
