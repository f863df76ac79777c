// SPDX-License-Identifier: Apache-2.0
#include "zkflow/host/dlist.h"

zk::DListRec::~DListRec() = default;

zk::DList::~DList() {
  empty();
  // Iterators that outlive their list must not touch it again.
  for (zk::DListIterator* it = iterators_; it; it = it->chain_) {
    it->list_ = nullptr;
    it->current_ = nullptr;
    it->next_ = nullptr;
  }
}

zk::DList& zk::DList::operator=(zk::DList& o) {
  if (&o == this) return *this;
  empty();
  while (zk::DListRec* r = o.first_) {
    o.unlink(r);
    append(r);
  }
  return *this;
}

void zk::DList::append(zk::DListRec* r) { insertBefore(r, nullptr); }

void zk::DList::insertBefore(zk::DListRec* r, zk::DListRec* before) {
  if (!r) return;
  if (r->list_) r->list_->unlink(r);
  if (before && before->list_ != this) before = nullptr;
  r->list_ = this;
  ++size_;
  if (!first_) {
    r->prev_ = r->next_ = r;
    first_ = r;
    return;
  }
  zk::DListRec* at = before ? before : first_;
  r->next_ = at;
  r->prev_ = at->prev_;
  at->prev_->next_ = r;
  at->prev_ = r;
  if (before == first_) first_ = r;
  // An iterator whose next is the record we inserted before must now reach
  // the new record first; one standing after the last record reaches an
  // appended one. A finished walk stays finished.
  for (zk::DListIterator* it = iterators_; it; it = it->chain_) {
    if (!it->started_ || it->pastEnd_) continue;
    if (before ? it->next_ == before : it->next_ == nullptr) it->next_ = r;
  }
}

void zk::DList::unlink(zk::DListRec* r) {
  zk::DListRec* after = (r->next_ == first_) ? nullptr : r->next_;
  for (zk::DListIterator* it = iterators_; it; it = it->chain_) {
    if (it->next_ == r) it->next_ = after;
    if (it->current_ == r) it->current_ = nullptr;
  }
  if (r->next_ == r) {
    first_ = nullptr;
  } else {
    r->prev_->next_ = r->next_;
    r->next_->prev_ = r->prev_;
    if (first_ == r) first_ = r->next_;
  }
  r->prev_ = r->next_ = r;
  r->list_ = nullptr;
  --size_;
}

void zk::DList::remove(zk::DListRec* r) {
  if (!r || r->list_ != this) return;
  unlink(r);
  if (owning_) delete r;
}

bool zk::DList::extract(zk::DListRec* r) {
  if (!r || r->list_ != this) return false;
  unlink(r);
  return true;
}

void zk::DList::empty() {
  while (first_) remove(first_);
}

void zk::DList::apply(void (*fn)(zk::DListRec*, void*), void* arg) {
  if (!fn) return;
  zk::DListIterator it(*this);
  while (zk::DListRec* r = it.next()) fn(r, arg);
}

zk::DListIterator::DListIterator(const zk::DList& list) : list_(const_cast<zk::DList*>(&list)) {
  chain_ = list_->iterators_;
  list_->iterators_ = this;
}

zk::DListIterator::~DListIterator() {
  if (!list_) return;
  for (zk::DListIterator** p = &list_->iterators_; *p; p = &(*p)->chain_) {
    if (*p == this) {
      *p = chain_;
      break;
    }
  }
}

void zk::DListIterator::remove() {
  if (current_ && list_) list_->remove(current_);
  current_ = nullptr;
}

zk::DListRec* zk::DListIterator::extract() {
  zk::DListRec* r = current_;
  if (r && list_) list_->extract(r);
  current_ = nullptr;
  return r;
}

void zk::DListIterator::restart() {
  current_ = nullptr;
  next_ = nullptr;
  started_ = false;
  pastEnd_ = false;
}
