// The sorted list: a red-black tree whose nodes also count their subtree,
// so that insertion, removal and selection by index all cost O(log n).
#include <cstdlib>
#include <new>

#include "containers_cursor.h"
#include "zunder/containers.h"

namespace {
constexpr int32_t kRed = 0;
constexpr int32_t kBlack = 1;
}  // namespace

struct ZSortedListNode {
  ZSortedListNode* parent = nullptr;
  ZSortedListNode* left = nullptr;
  ZSortedListNode* right = nullptr;
  ZObject* object = nullptr;
  ZIndex size = 1;  // nodes in the subtree rooted here
  int32_t colour = kRed;
};

namespace {

// A copy collects the nodes in an array of pointers to them.
constexpr size_t kNodeSlotSize = sizeof(ZSortedListNode*);  // NOLINT(bugprone-sizeof-expression)

ZIndex SizeOf(const ZSortedListNode* node) { return node != nullptr ? node->size : 0; }
bool IsRed(const ZSortedListNode* node) { return node != nullptr && node->colour == kRed; }
bool IsBlack(const ZSortedListNode* node) { return !IsRed(node); }

ZSortedListNode* Leftmost(ZSortedListNode* node) {
  while (node != nullptr && node->left != nullptr) node = node->left;
  return node;
}

ZSortedListNode* Rightmost(ZSortedListNode* node) {
  while (node != nullptr && node->right != nullptr) node = node->right;
  return node;
}

ZSortedListNode* Successor(ZSortedListNode* node) {
  if (node->right != nullptr) return Leftmost(node->right);
  while (node->parent != nullptr && node == node->parent->right) node = node->parent;
  return node->parent;
}

ZSortedListNode* Predecessor(ZSortedListNode* node) {
  if (node->left != nullptr) return Rightmost(node->left);
  while (node->parent != nullptr && node == node->parent->left) node = node->parent;
  return node->parent;
}

void DeleteSubtree(ZSortedListNode* node, bool deleteObjects) {
  while (node != nullptr) {
    DeleteSubtree(node->right, deleteObjects);
    ZSortedListNode* left = node->left;
    if (deleteObjects) delete node->object;
    delete node;
    node = left;
  }
}

// Links nodes already in order into a balanced tree: every level but the
// deepest is full, so colouring the deepest level red satisfies the rules.
ZSortedListNode* BuildBalanced(ZSortedListNode* const* nodes, ZIndex low, ZIndex high, int depth, int redDepth,
                               ZSortedListNode* parent) {
  if (low > high) return nullptr;
  const ZIndex middle = low + (high - low) / 2;
  ZSortedListNode* node = nodes[middle];
  node->parent = parent;
  node->size = high - low + 1;
  node->colour = (depth == redDepth && depth > 0) ? kRed : kBlack;
  node->left = BuildBalanced(nodes, low, middle - 1, depth + 1, redDepth, node);
  node->right = BuildBalanced(nodes, middle + 1, high, depth + 1, redDepth, node);
  return node;
}

// Black height of a subtree, or -1 when a rule or a size is broken.
int CheckSubtree(const ZSortedListNode* node, const ZSortedListNode* parent) {
  if (node == nullptr) return 0;
  if (node->parent != parent || node->object == nullptr) return -1;
  if (node->colour != kRed && node->colour != kBlack) return -1;
  if (IsRed(node) && (IsRed(node->left) || IsRed(node->right))) return -1;
  if (node->size != SizeOf(node->left) + SizeOf(node->right) + 1) return -1;
  const int left = CheckSubtree(node->left, node);
  const int right = CheckSubtree(node->right, node);
  if (left < 0 || left != right) return -1;
  return left + (node->colour == kBlack ? 1 : 0);
}

}  // namespace

struct ZSortedListRecord : ZReferenceRecord {
  ZSortedListNode* root = nullptr;
  // The last node visited by index (containers_cursor.h tells who may move it).
  std::atomic_flag cursorBusy;
  ZSortedListNode* last = nullptr;
  ZIndex lastIndex = 0;

  ~ZSortedListRecord() override { ZSortedListRecord::DestroyContents(); }

  ZReferenceRecord* NewEmpty() const override {
    auto* fresh = new (std::nothrow) ZSortedListRecord;
    if (fresh == nullptr) return nullptr;
    fresh->deleteObjects = deleteObjects;
    return fresh;
  }

  ZReferenceRecord* Duplicate() const override {
    auto* copy = new (std::nothrow) ZSortedListRecord;
    if (copy == nullptr) return nullptr;
    copy->deleteObjects = deleteObjects;
    if (size == 0) return copy;
    auto** nodes = static_cast<ZSortedListNode**>(std::malloc(static_cast<size_t>(size) * kNodeSlotSize));
    if (nodes == nullptr) {
      delete copy;
      return nullptr;
    }
    ZIndex copied = 0;
    bool failed = false;
    for (ZSortedListNode* node = Leftmost(root); node != nullptr && !failed; node = Successor(node)) {
      ZObject* object = deleteObjects ? node->object->Clone() : node->object;
      if (object == nullptr) continue;  // a failed Clone was reported
      auto* fresh = new (std::nothrow) ZSortedListNode;
      if (fresh == nullptr) {
        if (deleteObjects) delete object;
        failed = true;
        break;
      }
      fresh->object = object;
      nodes[copied++] = fresh;
    }
    if (failed) {
      for (ZIndex i = 0; i < copied; ++i) {
        if (deleteObjects) delete nodes[i]->object;
        delete nodes[i];
      }
      std::free(nodes);
      delete copy;
      return nullptr;
    }
    // The copy keeps the order without comparing again.
    int redDepth = 0;
    while ((copied >> (redDepth + 1)) > 0) ++redDepth;
    copy->root = BuildBalanced(nodes, 0, copied - 1, 0, redDepth, nullptr);
    copy->size = copied;
    std::free(nodes);
    return copy;
  }

  void DestroyContents() override {
    ZSortedListNode* old = root;
    root = last = nullptr;
    lastIndex = 0;
    size = 0;
    DeleteSubtree(old, deleteObjects);
  }

  void RotateLeft(ZSortedListNode* x) {
    ZSortedListNode* y = x->right;
    x->right = y->left;
    if (y->left != nullptr) y->left->parent = x;
    Replace(x, y);
    y->left = x;
    x->parent = y;
    y->size = x->size;
    x->size = SizeOf(x->left) + SizeOf(x->right) + 1;
  }

  void RotateRight(ZSortedListNode* x) {
    ZSortedListNode* y = x->left;
    x->left = y->right;
    if (y->right != nullptr) y->right->parent = x;
    Replace(x, y);
    y->right = x;
    x->parent = y;
    y->size = x->size;
    x->size = SizeOf(x->left) + SizeOf(x->right) + 1;
  }

  // Puts v where u hangs from its parent (v may be null).
  void Replace(ZSortedListNode* u, ZSortedListNode* v) {
    if (u->parent == nullptr) {
      root = v;
    } else if (u == u->parent->left) {
      u->parent->left = v;
    } else {
      u->parent->right = v;
    }
    if (v != nullptr) v->parent = u->parent;
  }

  // Links a new node behind all objects that compare equal; answers its index.
  ZIndex Insert(ZSortedListNode* node) {
    ZSortedListNode* parent = nullptr;
    ZSortedListNode* current = root;
    ZIndex index = 0;
    bool left = false;
    while (current != nullptr) {
      ++current->size;
      parent = current;
      left = node->object->Compare(*current->object) == LessThan;
      if (left) {
        current = current->left;
      } else {
        index += SizeOf(current->left) + 1;
        current = current->right;
      }
    }
    node->parent = parent;
    node->left = node->right = nullptr;
    node->size = 1;
    node->colour = kRed;
    if (parent == nullptr) {
      root = node;
    } else if (left) {
      parent->left = node;
    } else {
      parent->right = node;
    }
    ++size;
    InsertFixup(node);
    return index;
  }

  void InsertFixup(ZSortedListNode* node) {
    while (IsRed(node->parent)) {
      ZSortedListNode* parent = node->parent;
      ZSortedListNode* grandparent = parent->parent;  // exists: a red node is never the root
      if (parent == grandparent->left) {
        ZSortedListNode* uncle = grandparent->right;
        if (IsRed(uncle)) {
          parent->colour = uncle->colour = kBlack;
          grandparent->colour = kRed;
          node = grandparent;
          continue;
        }
        if (node == parent->right) {
          node = parent;
          RotateLeft(node);
          parent = node->parent;
        }
        parent->colour = kBlack;
        grandparent->colour = kRed;
        RotateRight(grandparent);
      } else {
        ZSortedListNode* uncle = grandparent->left;
        if (IsRed(uncle)) {
          parent->colour = uncle->colour = kBlack;
          grandparent->colour = kRed;
          node = grandparent;
          continue;
        }
        if (node == parent->left) {
          node = parent;
          RotateRight(node);
          parent = node->parent;
        }
        parent->colour = kBlack;
        grandparent->colour = kRed;
        RotateLeft(grandparent);
      }
    }
    root->colour = kBlack;
  }

  // Unlinks the node (the node itself, never its contents, moves: other
  // nodes keep their identity, so the cursor stays valid).
  void Erase(ZSortedListNode* z) {
    // The node physically leaving its place is z, or its successor when z
    // has two children; every ancestor of that place loses one.
    ZSortedListNode* leaving = (z->left != nullptr && z->right != nullptr) ? Leftmost(z->right) : z;
    for (ZSortedListNode* p = leaving->parent; p != nullptr; p = p->parent) --p->size;

    int32_t removedColour = leaving->colour;
    ZSortedListNode* x;
    ZSortedListNode* xParent;
    if (z->left == nullptr) {
      x = z->right;
      xParent = z->parent;
      Replace(z, z->right);
    } else if (z->right == nullptr) {
      x = z->left;
      xParent = z->parent;
      Replace(z, z->left);
    } else {
      ZSortedListNode* y = leaving;
      x = y->right;
      if (y->parent == z) {
        xParent = y;
      } else {
        xParent = y->parent;
        Replace(y, y->right);
        y->right = z->right;
        y->right->parent = y;
      }
      Replace(z, y);
      y->left = z->left;
      y->left->parent = y;
      y->colour = z->colour;
      y->size = z->size;
    }
    --size;
    if (removedColour == kBlack) EraseFixup(x, xParent);
  }

  void EraseFixup(ZSortedListNode* x, ZSortedListNode* parent) {
    while (x != root && IsBlack(x)) {
      if (x == parent->left) {
        ZSortedListNode* sibling = parent->right;
        if (IsRed(sibling)) {
          sibling->colour = kBlack;
          parent->colour = kRed;
          RotateLeft(parent);
          sibling = parent->right;
        }
        if (IsBlack(sibling->left) && IsBlack(sibling->right)) {
          sibling->colour = kRed;
          x = parent;
          parent = x->parent;
        } else {
          if (IsBlack(sibling->right)) {
            sibling->left->colour = kBlack;
            sibling->colour = kRed;
            RotateRight(sibling);
            sibling = parent->right;
          }
          sibling->colour = parent->colour;
          parent->colour = kBlack;
          sibling->right->colour = kBlack;
          RotateLeft(parent);
          x = root;
          parent = nullptr;
        }
      } else {
        ZSortedListNode* sibling = parent->left;
        if (IsRed(sibling)) {
          sibling->colour = kBlack;
          parent->colour = kRed;
          RotateRight(parent);
          sibling = parent->left;
        }
        if (IsBlack(sibling->left) && IsBlack(sibling->right)) {
          sibling->colour = kRed;
          x = parent;
          parent = x->parent;
        } else {
          if (IsBlack(sibling->left)) {
            sibling->right->colour = kBlack;
            sibling->colour = kRed;
            RotateLeft(sibling);
            sibling = parent->left;
          }
          sibling->colour = parent->colour;
          parent->colour = kBlack;
          sibling->left->colour = kBlack;
          RotateRight(parent);
          x = root;
          parent = nullptr;
        }
      }
    }
    if (x != nullptr) x->colour = kBlack;
  }

  ZSortedListNode* Select(ZIndex index) const {
    ZSortedListNode* node = root;
    while (node != nullptr) {
      const ZIndex leftSize = SizeOf(node->left);
      if (index < leftSize) {
        node = node->left;
      } else if (index == leftSize) {
        return node;
      } else {
        index -= leftSize + 1;
        node = node->right;
      }
    }
    return nullptr;
  }
};

// ---------------------------------------------------------------- ZAbstractSortedList

ZAbstractSortedList::ZAbstractSortedList() : ZCollection(new (std::nothrow) ZSortedListRecord) {}

ZSortedListRecord* ZAbstractSortedList::tree() const { return static_cast<ZSortedListRecord*>(record); }

ZSortedListNode* ZAbstractSortedList::NodeAt(ZIndex index) const {
  ZSortedListRecord* t = tree();
  if (t == nullptr || index < 0 || index >= t->size) return nullptr;
  const ZCursorHold cursor(t->cursorBusy);
  if (!cursor.IsHeld()) return t->Select(index);
  ZSortedListNode* node = nullptr;
  if (t->last != nullptr) {
    // Neighbouring indexes are one step from the cursor.
    if (index == t->lastIndex) {
      node = t->last;
    } else if (index == t->lastIndex + 1) {
      node = Successor(t->last);
    } else if (index == t->lastIndex - 1) {
      node = Predecessor(t->last);
    }
  }
  if (node == nullptr) node = t->Select(index);
  t->last = node;
  t->lastIndex = index;
  return node;
}

ZIndex ZAbstractSortedList::Append(ZObject* object) {
  if (object == nullptr) {
    Z_ASSERT_CODE(ZAssertNullPointer);
    return ZNotFound;
  }
  if (!Separate()) return ZNotFound;
  auto* node = new (std::nothrow) ZSortedListNode;
  if (node == nullptr) {
    Z_ASSERT_CODE(ZAssertOutOfMemory);
    return ZNotFound;
  }
  node->object = object;
  ZSortedListRecord* t = tree();
  const ZIndex index = t->Insert(node);
  t->last = node;
  t->lastIndex = index;
  return index;
}

ZIndex ZAbstractSortedList::Insert(ZObject*, ZObject* object) { return Append(object); }

ZIndex ZAbstractSortedList::InsertAt(ZIndex, ZObject* object) { return Append(object); }

bool ZAbstractSortedList::Remove(ZObject* object) {
  // Found before separating: a separated copy keeps the same order.
  const ZIndex index = IndexOfObject(object);
  if (index == ZNotFound) return false;
  RemoveAt(index);
  return true;
}

ZObject* ZAbstractSortedList::RemoveAt(ZIndex index) {
  if (index < 0 || index >= GetSize()) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    return nullptr;
  }
  if (!Separate()) return nullptr;
  ZSortedListRecord* t = tree();
  ZSortedListNode* node = NodeAt(index);
  // The successor takes over the index, so removing in order stays cheap.
  ZSortedListNode* next = Successor(node);
  t->Erase(node);
  t->last = next;
  t->lastIndex = index;
  ZObject* object = node->object;
  delete node;
  if (t->deleteObjects) {
    delete object;
    return nullptr;
  }
  return object;
}

void ZAbstractSortedList::RemoveAll() { DestroyContents(); }

bool ZAbstractSortedList::SetAt(ZIndex index, ZObject* object) {
  if (object == nullptr) {
    Z_ASSERT_CODE(ZAssertNullPointer);
    return false;
  }
  if (index < 0 || index >= GetSize()) {
    Z_ASSERT_CODE(ZAssertInvalidIndex);
    return false;
  }
  if (!Separate()) return false;
  ZSortedListRecord* t = tree();
  ZSortedListNode* node = NodeAt(index);
  // Reuse the node: unlink it, swap the object, link it at its new place.
  t->Erase(node);
  ZObject* old = node->object;
  node->object = object;
  t->Insert(node);
  t->last = nullptr;
  if (t->deleteObjects && old != object) delete old;
  return true;
}

ZObject* ZAbstractSortedList::GetAt(ZIndex index) const {
  const ZSortedListNode* node = NodeAt(index);
  return node != nullptr ? node->object : nullptr;
}

ZIndex ZAbstractSortedList::IndexOfObject(const ZObject* object) const {
  ZSortedListRecord* t = tree();
  if (t == nullptr || object == nullptr) return ZNotFound;
  // By identity: no Compare, so objects of any class can be asked about.
  ZIndex index = 0;
  for (ZSortedListNode* node = Leftmost(t->root); node != nullptr; node = Successor(node), ++index) {
    if (node->object == object) {
      const ZCursorHold cursor(t->cursorBusy);
      if (cursor.IsHeld()) {
        t->last = node;
        t->lastIndex = index;
      }
      return index;
    }
  }
  return ZNotFound;
}

ZIndex ZAbstractSortedList::IndexOfValue(const ZObject& object) const {
  ZSortedListRecord* t = tree();
  if (t == nullptr) return ZNotFound;
  // The first of the equal objects: keep going left after a match.
  ZSortedListNode* node = t->root;
  ZSortedListNode* found = nullptr;
  ZIndex foundIndex = ZNotFound;
  ZIndex base = 0;
  while (node != nullptr) {
    const ZComparison result = object.Compare(*node->object);
    if (result == GreaterThan) {
      base += SizeOf(node->left) + 1;
      node = node->right;
    } else {
      if (result == EqualTo) {
        found = node;
        foundIndex = base + SizeOf(node->left);
      }
      node = node->left;
    }
  }
  const ZCursorHold cursor(t->cursorBusy);
  if (found != nullptr && cursor.IsHeld()) {
    t->last = found;
    t->lastIndex = foundIndex;
  }
  return foundIndex;
}

ZComparison ZAbstractSortedList::Compare(const ZObject& other) const {
  const ZAbstractSortedList* that = ZCast<ZAbstractSortedList>(&other);
  if (that == nullptr) return GreaterThan;
  ZSortedListNode* a = tree() != nullptr ? Leftmost(tree()->root) : nullptr;
  ZSortedListNode* b = that->tree() != nullptr ? Leftmost(that->tree()->root) : nullptr;
  for (; a != nullptr && b != nullptr; a = Successor(a), b = Successor(b)) {
    const ZComparison result = a->object->Compare(*b->object);
    if (result != EqualTo) return result;
  }
  if (a == nullptr && b == nullptr) return EqualTo;
  return a == nullptr ? LessThan : GreaterThan;
}

bool ZAbstractSortedList::IsConsistent() const {
  ZSortedListRecord* t = tree();
  if (t == nullptr) return false;
  const ZCursorHold cursor(t->cursorBusy);
  if (!cursor.IsHeld()) return false;  // checked while nobody reads
  if (t->root == nullptr) return t->size == 0 && t->last == nullptr;
  if (t->root->colour != kBlack || t->root->size != t->size) return false;
  if (CheckSubtree(t->root, nullptr) < 0) return false;
  ZIndex index = 0;
  bool cursorSeen = t->last == nullptr;
  const ZSortedListNode* previous = nullptr;
  for (ZSortedListNode* node = Leftmost(t->root); node != nullptr; node = Successor(node), ++index) {
    if (previous != nullptr && previous->object->Compare(*node->object) == GreaterThan) return false;
    if (node == t->last) {
      if (index != t->lastIndex) return false;
      cursorSeen = true;
    }
    previous = node;
  }
  return index == t->size && cursorSeen;
}

ZObject* ZSortedList::Clone() const {
  auto* copy = new (std::nothrow) ZSortedList(*this);
  if (copy == nullptr) {
    Z_ASSERT_CODE(ZAssertOutOfMemory);
    return nullptr;
  }
  copy->MakeUnique();
  return copy;
}
