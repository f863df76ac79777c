#include "host/dlist.h"

DListRec::~DListRec() = default;

DList::~DList() {
  empty();
  // Iterators that outlive their list must not touch it again.
  for (DListIterator* it = iterators_; it; it = it->chain_) {
    it->list_ = nullptr;
    it->current_ = nullptr;
    it->next_ = nullptr;
  }
}

DList& DList::operator=(DList& o) {
  if (&o == this) return *this;
  empty();
  while (DListRec* r = o.first_) {
    o.unlink(r);
    append(r);
  }
  return *this;
}

void DList::append(DListRec* r) { insertBefore(r, nullptr); }

void DList::insertBefore(DListRec* r, DListRec* before) {
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
  DListRec* at = before ? before : first_;
  r->next_ = at;
  r->prev_ = at->prev_;
  at->prev_->next_ = r;
  at->prev_ = r;
  if (before == first_) first_ = r;
  // An iterator whose next is the record we inserted before must now reach
  // the new record first; one standing after the last record reaches an
  // appended one. A finished walk stays finished.
  for (DListIterator* it = iterators_; it; it = it->chain_) {
    if (!it->started_ || it->pastEnd_) continue;
    if (before ? it->next_ == before : it->next_ == nullptr) it->next_ = r;
  }
}

void DList::unlink(DListRec* r) {
  DListRec* after = (r->next_ == first_) ? nullptr : r->next_;
  for (DListIterator* it = iterators_; it; it = it->chain_) {
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

void DList::remove(DListRec* r) {
  if (!r || r->list_ != this) return;
  unlink(r);
  if (owning_) delete r;
}

bool DList::extract(DListRec* r) {
  if (!r || r->list_ != this) return false;
  unlink(r);
  return true;
}

void DList::empty() {
  while (first_) remove(first_);
}

void DList::apply(void (*fn)(DListRec*, void*), void* arg) {
  if (!fn) return;
  DListIterator it(*this);
  while (DListRec* r = it.next()) fn(r, arg);
}

DListIterator::DListIterator(const DList& list) : list_(const_cast<DList*>(&list)) {
  chain_ = list_->iterators_;
  list_->iterators_ = this;
}

DListIterator::~DListIterator() {
  if (!list_) return;
  for (DListIterator** p = &list_->iterators_; *p; p = &(*p)->chain_) {
    if (*p == this) {
      *p = chain_;
      break;
    }
  }
}

void DListIterator::remove() {
  if (current_ && list_) list_->remove(current_);
  current_ = nullptr;
}

DListRec* DListIterator::extract() {
  DListRec* r = current_;
  if (r && list_) list_->extract(r);
  current_ = nullptr;
  return r;
}

void DListIterator::restart() {
  current_ = nullptr;
  next_ = nullptr;
  started_ = false;
  pastEnd_ = false;
}
