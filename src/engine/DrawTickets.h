// DrawTickets: the pictures one video track's runtime draws after
// DecompressSequenceFrameWhen returned, on the runtime's own thread and
// possibly after later samples went in. Each drawing is named by a ticket
// (the completion's refcon); its result is kept here until the block's
// owner collects it.
//
// One table per track, so a completion wakes only that track's waiters.
// The completion procedure gets nothing but the ticket, a 32-bit long on
// Windows, so a ticket carries its table's slot in a process-wide array:
// bits 20 to 30 the slot, bits 0 to 19 a sequence number (never 0). Slot 0
// is shared by the tables that find no free slot (beyond 2,047 at once),
// which then wake one another as a single table would.
//
// Ownership: the track owns its table. Every ticket it issued must have
// completed (or been cancelled, which completes it) before the table goes.
// Threads: Issue, Wait, Finished, WaitOr and Poke on the track's threads;
// Done on the runtime's drawing thread or inside the call.
#pragma once

#include <condition_variable>
#include <mutex>
#include <unordered_map>

#include "QuickTime/MacTypes.h"

class DrawTickets {
 public:
  DrawTickets();
  ~DrawTickets();
  DrawTickets(const DrawTickets &) = delete;
  DrawTickets &operator=(const DrawTickets &) = delete;

  // A new ticket for one drawing: positive, never 0.
  long Issue();
  // The completion procedure (ICMCompletionProcRecord): records the
  // ticket's result in its table and wakes that table's waiters.
  static void Done(OSErr result, short flags, long ticket);
  // Waits for the ticket's drawing and collects its result.
  OSErr Wait(long ticket);
  // Whether the ticket's drawing is done (not collected).
  bool Finished(long ticket);
  // Waits until the ticket's drawing is done (true) or giveUp() holds
  // (false); giveUp is tested again after every Poke. giveUp runs under the
  // table's lock.
  template <typename GiveUp>
  bool WaitOr(long ticket, GiveUp giveUp) {
    std::unique_lock<std::mutex> lock(shared_->mutex);
    shared_->changed.wait(lock, [&] { return shared_->finished.count(ticket) != 0 || giveUp(); });
    return shared_->finished.count(ticket) != 0;
  }
  // Wakes the waiters to test their give-up condition again.
  void Poke();

  // Which slot this table holds (0: the shared one). For tests.
  int Slot() const { return slot_; }

  static constexpr int kSequenceBits = 20;
  static constexpr int kSlots = 1 << (31 - kSequenceBits);

 private:
  // Lock order: mutex comes before a track's DecodeAhead lock (WaitOr's
  // give-up test takes it); nothing else is taken under it.
  struct Table {
    std::mutex mutex;
    std::condition_variable changed;
    std::unordered_map<long, OSErr> finished;
    long next = 0;  // last sequence number issued (slot 0: shared by its tables)
  };
  static Table &SharedTable();

  int slot_ = 0;
  Table own_;
  Table *shared_;  // &own_, or the shared table of slot 0
};
