// The whole public interface of the library.
#pragma once

#include "BTree.h"
#include "BTreeException.h"
#include "BTreeIterator.h"
#include "CacheOperation.h"
