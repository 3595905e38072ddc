// ZHTTPSpace: the tree of resources by URL path components.
#include <algorithm>
#include <cstring>
#include <vector>

#include "zunder/http.h"

const char* const ZHTTPSpace::kIndexNames[kIndexNameCount] = {
    "Welcome.html", "welcome.html", "index.html", "Welcome.htm", "welcome.htm", "index.htm",
};

// A node of the tree: one path component. A node with a resource has no
// children.
struct ZHTTPSpace::Node {
  ZString name;
  Node* parent = nullptr;
  std::vector<std::unique_ptr<Node>> children;  // in name order
  ResourcePointer resource;

  // The position of the child of that name, or where it would go.
  std::vector<std::unique_ptr<Node>>::iterator Place(const char* childName) {
    return std::lower_bound(children.begin(), children.end(), childName,
                            [](const std::unique_ptr<Node>& child, const char* wanted) {
                              return std::strcmp(child->name.Text(), wanted) < 0;
                            });
  }
  Node* Child(const char* childName) {
    auto at = Place(childName);
    return at != children.end() && (*at)->name == childName ? at->get() : nullptr;
  }
  Node* AddChild(const char* childName) {
    auto at = Place(childName);
    if (at != children.end() && (*at)->name == childName) return at->get();
    auto node = std::make_unique<Node>();
    node->name = childName;
    node->parent = this;
    return children.insert(at, std::move(node))->get();
  }
  void RemoveChild(const Node* child) {
    children.erase(std::remove_if(children.begin(), children.end(),
                                  [child](const std::unique_ptr<Node>& each) { return each.get() == child; }),
                   children.end());
  }
};

// The one tree that copies of a space share, with the lock that guards it.
struct ZHTTPSpace::Tree {
  mutable std::mutex lock;
  Node root;
};

std::vector<ZString> ZHTTPSpace::PathNames(const ZURL& url) {
  std::vector<ZString> names;
  const ZStringArray& path = url.GetPath();
  for (ZIndex i = 0; i < path.GetSize(); ++i) {
    if (!path[i].IsEmpty()) names.push_back(path[i]);
  }
  return names;
}

ZHTTPSpace::ZHTTPSpace() : tree(std::make_shared<Tree>()) {}

ZHTTPSpace::~ZHTTPSpace() = default;

bool ZHTTPSpace::AddResource(ZHTTPResource* resource, bool overwrite) {
  if (resource == nullptr) {
    Z_ASSERT_CODE(ZAssertNullPointer);
    return false;
  }
  // Ownership passes only on success: a refused resource is not deleted.
  auto owned = std::make_shared<bool>(false);
  ResourcePointer shared(resource, [owned](ZHTTPResource* each) {
    if (*owned) delete each;
  });
  *owned = AddResource(shared, overwrite);
  return *owned;
}

bool ZHTTPSpace::AddResource(const ResourcePointer& resource, bool overwrite) {
  if (!resource) {
    Z_ASSERT_CODE(ZAssertNullPointer);
    return false;
  }
  const std::vector<ZString> names = PathNames(resource->GetBaseURL());
  ResourcePointer replaced;  // let go of after the lock
  std::lock_guard<std::mutex> guard(tree->lock);
  // Check first, so that a refused resource leaves no empty nodes behind.
  Node* node = &tree->root;
  size_t existing = 0;
  for (; existing < names.size(); ++existing) {
    if (node->resource) return false;
    Node* child = node->Child(names[existing].Text());
    if (child == nullptr) break;
    node = child;
  }
  if (existing == names.size()) {
    if (!node->children.empty()) return false;
    if (node->resource && !overwrite) return false;
  }
  for (size_t i = existing; i < names.size(); ++i) node = node->AddChild(names[i].Text());
  replaced = std::move(node->resource);
  node->resource = resource;
  return true;
}

bool ZHTTPSpace::DelResource(const ZURL& url) {
  const std::vector<ZString> names = PathNames(url);
  ResourcePointer removed;  // let go of after the lock
  std::lock_guard<std::mutex> guard(tree->lock);
  Node* node = &tree->root;
  for (const ZString& name : names) {
    if (node->resource) return false;
    node = node->Child(name.Text());
    if (node == nullptr) return false;
  }
  if (!node->children.empty()) return false;
  removed = std::move(node->resource);
  // The end node goes, and every ancestor left without children, up to the
  // root (which stays).
  while (node->parent != nullptr && node->children.empty() && !node->resource) {
    Node* parent = node->parent;
    parent->RemoveChild(node);
    node = parent;
  }
  return true;
}

ZHTTPSpace::ResourcePointer ZHTTPSpace::FindResource(const ZURL& url) const {
  const std::vector<ZString> names = PathNames(url);
  std::lock_guard<std::mutex> guard(tree->lock);
  Node* node = &tree->root;
  if (node->resource) return node->resource;
  for (const ZString& name : names) {
    node = node->Child(name.Text());
    if (node == nullptr) return nullptr;
    // A resource answers for its whole subtree.
    if (node->resource) return node->resource;
  }
  for (const char* index : kIndexNames) {
    Node* child = node->Child(index);
    if (child != nullptr && child->resource) return child->resource;
  }
  return nullptr;
}
