#include "engine/DrawTickets.h"

#include <array>
#include <atomic>

namespace {

constexpr long kSequenceMask = (1L << DrawTickets::kSequenceBits) - 1;

// Which table each slot's tickets belong to; slot 0 is never handed out.
std::array<std::atomic<void *>, DrawTickets::kSlots> g_slots{};

}  // namespace

DrawTickets::Table &DrawTickets::SharedTable() {
  static Table table;
  return table;
}

DrawTickets::DrawTickets() : shared_(&own_) {
  for (int i = 1; i < kSlots; ++i) {
    void *none = nullptr;
    if (g_slots[static_cast<size_t>(i)].compare_exchange_strong(none, &own_)) {
      slot_ = i;
      return;
    }
  }
  shared_ = &SharedTable();
}

DrawTickets::~DrawTickets() {
  if (slot_ != 0) g_slots[static_cast<size_t>(slot_)].store(nullptr);
  // A completion that has just recorded the last ticket may still be
  // inside the lock (it notifies there): wait for it to leave.
  std::lock_guard<std::mutex> lock(own_.mutex);
}

long DrawTickets::Issue() {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  if (++shared_->next > kSequenceMask) shared_->next = 1;
  return (static_cast<long>(slot_) << kSequenceBits) | shared_->next;
}

void DrawTickets::Done(OSErr result, short, long ticket) {
  const auto slot = static_cast<size_t>((ticket >> kSequenceBits) & (kSlots - 1));
  Table *table = slot == 0 ? &SharedTable() : static_cast<Table *>(g_slots[slot].load());
  if (table == nullptr) return;  // a ticket of no live table: nobody waits for it
  std::lock_guard<std::mutex> lock(table->mutex);
  table->finished[ticket] = result;
  // Under the lock: the waiter may destroy the table as soon as it sees
  // the result, and it takes the lock first.
  table->changed.notify_all();
}

OSErr DrawTickets::Wait(long ticket) {
  std::unique_lock<std::mutex> lock(shared_->mutex);
  shared_->changed.wait(lock, [&] { return shared_->finished.count(ticket) != 0; });
  const OSErr result = shared_->finished[ticket];
  shared_->finished.erase(ticket);
  return result;
}

bool DrawTickets::Finished(long ticket) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->finished.count(ticket) != 0;
}

void DrawTickets::Poke() {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->changed.notify_all();
}
