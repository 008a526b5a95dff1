// The virtual autoloader: which cartridges the drives hold, which are blank,
// and where the cartridge sets of a session are.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/mox/cartridge.h"
#include "engine/mox/home.h"
#include "engine/mox/medium.h"
#include "platform/file_util.h"

namespace mox {

// The cartridges of one set, one per member, opened.
struct CartSet {
  uint64_t setId = 0;
  std::vector<std::string> names;              // per member, "" when none
  std::vector<std::unique_ptr<Medium>> media;  // per member, null when failed
  std::vector<CartridgeMap> maps;
  std::vector<bool> failed;   // missing, foreign, unreadable, swapped or blanked
  std::vector<bool> damaged;  // readable, but holds damage (see member_scan.h)
  // Per member: why it failed or what damage it holds, for reports.
  std::vector<std::vector<MediaDamage>> problems;
  // Connected for writing (its torn tails cut): a session may start on it.
  bool forWriting = false;
  // A record, sync or tape mark failed to write: what the members hold past
  // their last ended session is unknown, so the session can no longer be
  // ended and no other starts until the set is connected (mounted) again,
  // which cuts the unfinished records away.
  std::atomic<bool> writeFailed{false};
  // A member failed because a read failed (an I/O error): what it holds is
  // not known, so it is neither damaged nor behind the others for sure.
  bool readFailed = false;

  size_t memberCount() const { return names.size(); }
  size_t failedCount() const;
  size_t damagedCount() const;
  // The map of the member that knows the most sessions (nullptr when every
  // member failed): the set's label and session list.
  // The set a label of this set names as its predecessor (a set that
  // continues a full one), read from any member in service; 0 when none.
  // Also known when the set counts as blank because a label write did not
  // reach every member.
  uint64_t labelPrevSetId() const;
  const CartridgeMap* anyMap() const;
  // The extent of `session` on the first member that holds it with a sound
  // start record (else on any member that holds it); nullptr when none does.
  const SessionExtent* findSession(uint32_t session) const;
};

// Opens the cartridge at `path` as the home's medium (moxctl `set medium`:
// the cartridge file, or the sequential-only file of the tests), its
// capacity and early warning the home's. Null, with *rc, when it cannot be
// opened; with `create`, a missing file is made.
std::unique_ptr<Medium> openMedium(const Home& home, const std::string& path, bool writable,
                                   int* rc, bool create = false);
// The early-warning zone of a cartridge: room for what closes a session
// (its last index record, the continuation record and its tape mark).
uint64_t earlyWarningZone(int streamLimit);

// Opens and scans the named cartridges as one set.
std::shared_ptr<CartSet> openSet(const Home& home, const std::vector<std::string>& names,
                                 bool writable);

// Cartridge names in the member drives (may be "").
std::vector<std::string> memberCartridges(const Home& home, const std::vector<uint16_t>& drives);

// True when the cartridge holds no session (no file content, or a label only).
bool cartridgeIsBlank(const Home& home, const std::string& name);

// Loads a blank cartridge from the pool into every member drive, returning
// the cartridges that were in them to the pool, as one change of the drives
// (Home::setDriveCartridges). With `prelabel`, each blank is first labelled
// with it as member i. Call with the home locked.
// MOX_OK, MOX_E_NO_BLANK or MOX_E_IO.
int loadBlanks(Home& home, const std::vector<uint16_t>& drives, const Label* prelabel = nullptr);
// Loads a blank into each of `drives` that holds no cartridge, as one change
// (takes the home lock). MOX_OK, MOX_E_NO_BLANK or MOX_E_IO.
int loadEmptyDrives(Home& home, const std::vector<uint16_t>& drives);

// Names (per member index) of the cartridges labelled with set `setId`; a
// member that no label names is the cartridge whose set note names it.
std::vector<std::string> findSetById(const Home& home, uint64_t setId, size_t members);

// The sets a group wrote before `newest`, newest first: each the set that
// the one after it was loaded to continue (its labels, or the session start
// of a session part it continues). A set whose members all lost their labels
// is found by its set notes and ends the walk.
struct OlderSet {
  uint64_t setId = 0;
  std::shared_ptr<CartSet> set;
};
std::vector<OlderSet> olderSets(const Home& home, const CartSet& newest, size_t members);

// Every cartridge set of the library, loaded or not: what a mount of one
// group does not show. Sets are found by their members' labels; a member
// that lost its label (erased, truncated, overwritten) is found by its set
// note.
struct LibrarySet {
  uint64_t setId = 0;
  uint64_t prevSetId = 0;        // the set this one was loaded to continue (labels), else 0
  bool continued = false;        // a later set names this one as the set it continues
  std::shared_ptr<CartSet> set;  // opened, one name per member index ("" when none)
  // True when any member holds session data (a session, a tail, damage,
  // or a set note).
  bool holdsData = false;
};

// A session whose part on a set ends with a continuation record, followed
// over the sets that continue it.
struct SpannedSession {
  enum class Fate {
    kEnded,       // a later set holds its end
    kUnfinished,  // no later set holds more of it than an unfinished part
    kUnknown,     // a later set that holds a part is damaged: it may have ended
  };
  uint32_t session = 0;
  Fate fate = Fate::kUnknown;
  std::vector<size_t> sets;  // LibrarySurvey::sets indexes, first to last part found
};

struct LibrarySurvey {
  std::vector<LibrarySet> sets;
  std::vector<SpannedSession> spanned;
  // The set and member index of the cartridge `name`; false when none.
  bool find(const std::string& name, size_t* set, size_t* member) const;
  // True when set `i` holds a part of a session that ended, or may have
  // (a part whose end lies on a damaged set, damage on the set itself).
  bool holdsEndedPart(size_t i) const;
  // The spanned sessions with a part on set `i` that never ended.
  std::vector<const SpannedSession*> unfinishedOn(size_t i) const;
  // Set and member index of every cartridge in `sets`, by name.
  std::map<std::string, std::pair<size_t, size_t>> places;
};

LibrarySurvey surveyLibrary(const Home& home);

// Names of the set that continues `session` after the set `prevSetId`.
std::vector<std::string> findContinuation(const Home& home, uint32_t session, uint64_t prevSetId,
                                          size_t members);

// Set notes: the library's own record of which cartridge holds session data
// of which cartridge set, kept beside the cartridge as media/.<name>.set. A
// cartridge gets its note when a session part is first written on it (or a
// member is rebuilt onto it) and loses it when it is labelled, erased, or a
// cut leaves no session on it. So a cartridge that has a note and holds no
// session of that set lost them (erased, truncated or overwritten outside
// the engine): it is a damaged member of that set, never a blank.
struct SetNote {
  uint64_t setId = 0;
  uint16_t member = 0;
  uint16_t members = 0;
};
std::string setNotePath(const std::string& cartridgePath);
// Reads the cartridge's note: kNoted; kNone when it has none (or what is in
// its place is malformed, or not a regular file, never waited on);
// kUnreadable when the note cannot be read, which is never taken for none.
enum class NoteRead { kNone, kNoted, kUnreadable };
NoteRead readSetNote(const std::string& cartridgePath, SetNote* note);
// Notes the cartridge as member `note.member` of set `note.setId` (synced),
// unless it is noted so already. MOX_OK or MOX_E_IO.
int writeSetNote(const std::string& cartridgePath, const SetNote& note);
// Why the cartridge's note could not be written where it belongs, for a
// message naming the path: something other than a regular file stands
// there (a directory, say). "" when nothing or a regular file does.
std::string setNotePlaceProblem(const std::string& cartridgePath);
// Removes the cartridge's note; a missing note is no error. MOX_OK or MOX_E_IO.
int dropSetNote(const std::string& cartridgePath);
// Why a noted cartridge, whose map is `map`, no longer holds the session
// data its note records; "" when it does, or has no note.
std::string lostSetData(const SetNote& note, const CartridgeMap& map);

// The label of a new cartridge set of a RAID device of `members` members
// at `level`, for member 0 (callers set memberIndex).
Label newSetLabel(const char* name, int32_t sequence, int32_t expiration, uint64_t setId,
                  size_t members, int level);
// Labels the medium with `label` (its set note goes: it holds no session).
int labelMedium(Medium& medium, const Label& label);
// Labels the cartridge at `path` (made when missing) with `label`.
int formatCartridge(const Home& home, const std::string& path, const Label& label);
// Rewrites the label record of the cartridge at `path` in place as `change`
// makes it; nothing else of the cartridge changes. MOX_OK, MOX_E_MEDIA (no
// readable label, or a medium that cannot rewrite in place) or MOX_E_IO.
int rewriteLabel(const Home& home, const std::string& path,
                 const std::function<void(Label*)>& change);
// A fresh set id (never 0).
uint64_t newSetId();

// True while a live process holds RAID device n's write lock (a session of
// the group may be being written); looks without taking the lock.
bool groupBeingWritten(const std::string& home, int raidNumber);

// Exclusive, non-blocking hold on RAID device n's write lock; released when
// the object goes or the process dies.
class RaidLock {
 public:
  RaidLock(const std::string& home, int raidNumber);
  bool held() const { return lock_.held(); }
  // MOX_OK when held, MOX_E_HOME when the lock file cannot be opened,
  // MOX_E_BUSY when another process holds it.
  int result() const { return result_; }

 private:
  platform::FileLock lock_;
  int result_ = 0;
};

}  // namespace mox
