// SPDX-License-Identifier: Apache-2.0
// The support library's short names in the global namespace, for code written
// against them: String, Lock, P, AP, DList, MTQueue and the rest.
//
// <zkflow.h> never includes this header: ZKflow keeps these helpers in
// namespace zk, so that a program's own String or Lock does not collide with
// ours. Include it only where the short names are wanted.
#pragma once

#include "zkflow.h"

using zk::AP;
using zk::Countable;
using zk::DList;
using zk::DListIterator;
using zk::DListRec;
using zk::DStream;
using zk::Lock;
using zk::LockRep;
using zk::MTQueue;
using zk::normalizeName;
using zk::P;
using zk::StreamableRegistrar;
using zk::String;
