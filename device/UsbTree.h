#pragma once
// The container the topology walk fills: items with a text, a mark, a parent, children in insertion
// order, an expanded flag and an attached port record. It is never shown. Item handles are never
// reused, so a handle kept from an earlier walk is simply unknown afterwards.

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

struct UsbNodeInfo;

using TreeItem = uint32_t;
inline constexpr TreeItem TREE_NONE = 0; // as a parent: the top level

enum ItemMark : int {
    ITEM_HUB = 0,     // a host controller; a port that has a hub
    ITEM_PORT = 1,    // a port with a device; an empty port; a hub port whose hub was not named
    ITEM_ERROR = 2,   // a failed connection query; a hub that failed to open or answer
    ITEM_MATCHED = 3, // a device port a visitor re-marked
};

class UsbTree {
public:
    enum class Placement { Last, Sorted };

    UsbTree() = default;
    UsbTree(const UsbTree &) = delete;
    UsbTree &operator=(const UsbTree &) = delete;

    TreeItem InsertItem(const std::string &text, int mark, TreeItem parent = TREE_NONE,
                        Placement placement = Placement::Last);
    // A new item with the same text and parent and another mark takes the old one's place in the
    // tree's content: the record (its hItem updated) and any children move to it, the old item is
    // deleted. Returns the new item, or TREE_NONE when `item` is unknown.
    TreeItem ReplaceItem(TreeItem item, int mark, Placement placement);
    void Clear();

    bool Contains(TreeItem item) const { return m_items.count(item) != 0; }
    std::size_t Count() const { return m_items.size(); }
    const std::string &Text(TreeItem item) const;
    int Mark(TreeItem item) const;
    TreeItem Parent(TreeItem item) const;
    const std::vector<TreeItem> &Children(TreeItem item) const; // TREE_NONE: the top-level items
    bool IsExpanded(TreeItem item) const;
    void Expand(TreeItem item);

    // The record attached to an item (nullptr when none); the tree owns it.
    UsbNodeInfo *Record(TreeItem item) const;
    void Attach(TreeItem item, std::shared_ptr<UsbNodeInfo> record);

private:
    struct Item {
        std::string text;
        int mark = ITEM_PORT;
        TreeItem parent = TREE_NONE;
        bool expanded = false;
        std::vector<TreeItem> children;
        std::shared_ptr<UsbNodeInfo> record;
    };
    std::vector<TreeItem> &SiblingsOf(TreeItem parent);
    void Place(TreeItem item, TreeItem parent, Placement placement);

    std::unordered_map<TreeItem, Item> m_items;
    std::vector<TreeItem> m_top;
    TreeItem m_next = 1;
};
