// SPDX-License-Identifier: Apache-2.0
// DList: an intrusive, circular, doubly linked list of DListRec records.
//
// A record knows the list it is in (or none). A list may own its records
// (owning flag): records taken out by remove(), DListIterator::remove() and
// empty() are then deleted. extract() never deletes.
//
// Walking while changing: a DListIterator stays valid when the action on the
// current record removes that record, or removes any later record of the same
// list (through the list or another iterator). The list keeps a chain of its
// live iterators and moves their "next" past a record that leaves. Records
// appended during a walk are reached if they follow the iterator's position.
//
// Thread safety: none. A list, its records and its iterators are used by one
// thread at a time; the messaging subsystem that builds on them serialises
// access through its owner.
#pragma once

#include <cstddef>

#include "zkflow/host/allocator.h"
#include "zkflow/host/export.h"

namespace zk {

struct DList;
struct DListIterator;

struct ZKFLOW_EXPORT DListRec {
  ZKFLOW_HEAP_OBJECT

  DListRec() = default;
  // A copy is a new record in no list.
  DListRec(const DListRec&) {}
  // Assignment leaves the links alone: a record's place in a list belongs to
  // the object, not to its value.
  DListRec& operator=(const DListRec&) { return *this; }
  // Does not unlink: the owner of a record takes it out before it is deleted
  // (an owning list does both).
  virtual ~DListRec();

  // Identity by default; derived records may compare their content.
  virtual int operator==(const DListRec& other) const { return this == &other; }

  DListRec* prevRec() const { return prev_; }
  DListRec* nextRec() const { return next_; }
  // The list this record is in, or null.
  DList* list() const { return list_; }
  bool linked() const { return list_ != nullptr; }

 private:
  friend struct DList;
  friend struct DListIterator;
  DListRec* prev_ = this;
  DListRec* next_ = this;
  DList* list_ = nullptr;
};

struct ZKFLOW_EXPORT DList {
  ZKFLOW_HEAP_OBJECT

  DList() = default;
  explicit DList(bool owning) : owning_(owning) {}
  // A copy starts empty with the same owning flag: two lists never share
  // records.
  DList(const DList& o) : owning_(o.owning_) {}
  // Takes every record of `o` (which is left empty), after emptying this
  // list. The owning flag of this list stays. Used by the assignment of
  // senders and receivers, which must not leave two owners of one record.
  DList& operator=(DList& o);
  virtual ~DList();

  bool owning() const { return owning_; }
  void owning(bool f) { owning_ = f; }

  DListRec* first() const { return first_; }
  DListRec* last() const { return first_ ? first_->prev_ : nullptr; }
  // The record after `r` in this list, or null at the end.
  DListRec* next(const DListRec* r) const {
    if (!r || r->list_ != this || r->next_ == first_) return nullptr;
    return r->next_;
  }

  // Links `r` in at the end. A record already in a list (this one or another)
  // is taken out of it first, without being deleted. Null is ignored.
  void append(DListRec* r);
  // Links `r` in before `before` (at the end when `before` is null or not in
  // this list).
  void insertBefore(DListRec* r, DListRec* before);
  // Unlinks `r`, deleting it when the list owns records. Null, or a record
  // that is not in this list, is ignored.
  void remove(DListRec* r);
  // Unlinks `r` without deleting it; false when it is not in this list.
  bool extract(DListRec* r);
  bool member(const DListRec* r) const { return r && r->list_ == this; }
  std::size_t size() const { return size_; }
  bool isEmpty() const { return first_ == nullptr; }
  // Takes out every record, deleting them when the list owns records.
  void empty();
  // Calls fn(record, arg) for every record from first to last. fn may remove
  // the record it is given or any other record.
  void apply(void (*fn)(DListRec*, void*), void* arg);

 private:
  friend struct DListIterator;
  ZKFLOW_INTERNAL void unlink(DListRec* r);

  DListRec* first_ = nullptr;
  std::size_t size_ = 0;
  bool owning_ = false;
  DListIterator* iterators_ = nullptr;  // live iterators over this list
};

// Walks a list from first to last: each call of operator() (or next())
// yields the next record, then null at the end, and null from then on. The
// first advance yields whatever is first at that moment.
struct ZKFLOW_EXPORT DListIterator {
  explicit DListIterator(const DList& list);
  ~DListIterator();
  DListIterator(const DListIterator&) = delete;
  DListIterator& operator=(const DListIterator&) = delete;

  DListRec* operator()() { return next(); }
  // Inline: senders walk their records with it on every message.
  DListRec* next() {
    if (!list_ || pastEnd_) {
      current_ = nullptr;
      return nullptr;
    }
    current_ = started_ ? next_ : list_->first_;
    started_ = true;
    if (current_) {
      next_ = list_->next(current_);
    } else {
      pastEnd_ = true;
    }
    return current_;
  }
  // The record the last advance yielded, or null (also after it was removed).
  DListRec* current() const { return current_; }
  // Takes the current record out, deleting it when the list owns records.
  void remove();
  // Takes the current record out without deleting it and returns it; the
  // next advance still reaches the record that followed it.
  DListRec* extract();
  // Back to the first record.
  void restart();

 private:
  friend struct DList;
  DList* list_;
  DListRec* current_ = nullptr;
  DListRec* next_ = nullptr;  // meaningful once started_
  DListIterator* chain_ = nullptr;
  // Not yet advanced: the first advance reads the list's first record then,
  // so records appended before it are seen. Past the end: the walk returned
  // null and stays finished until restart(); before that, a null next_ means
  // "after the last record", where an append lands in front of the walk.
  bool started_ = false;
  bool pastEnd_ = false;
};

}  // namespace zk
