#include "UsbTree.h"

#include "UsbTreeWalker.h"

#include <algorithm>
#include <strings.h>

namespace {
const std::string kNoText;
const std::vector<TreeItem> kNoChildren;
} // namespace

std::vector<TreeItem> &UsbTree::SiblingsOf(TreeItem parent)
{
    if (parent == TREE_NONE)
        return m_top;
    return m_items.at(parent).children;
}

void UsbTree::Place(TreeItem item, TreeItem parent, Placement placement)
{
    std::vector<TreeItem> &siblings = SiblingsOf(parent);
    if (placement == Placement::Last) {
        siblings.push_back(item);
        return;
    }
    // Sorted: before the first sibling whose text sorts after this one's, ignoring case.
    const std::string &text = m_items.at(item).text;
    const auto at = std::find_if(siblings.begin(), siblings.end(), [&](TreeItem sibling) {
        return strcasecmp(m_items.at(sibling).text.c_str(), text.c_str()) > 0;
    });
    siblings.insert(at, item);
}

TreeItem UsbTree::InsertItem(const std::string &text, int mark, TreeItem parent, Placement placement)
{
    if (parent != TREE_NONE && !Contains(parent))
        parent = TREE_NONE;
    const TreeItem item = m_next++;
    Item &entry = m_items[item];
    entry.text = text;
    entry.mark = mark;
    entry.parent = parent;
    Place(item, parent, placement);
    return item;
}

TreeItem UsbTree::ReplaceItem(TreeItem item, int mark, Placement placement)
{
    const auto old = m_items.find(item);
    if (old == m_items.end())
        return TREE_NONE;
    const TreeItem parent = old->second.parent;
    std::vector<TreeItem> &siblings = SiblingsOf(parent);
    siblings.erase(std::find(siblings.begin(), siblings.end(), item));

    Item moved = std::move(old->second);
    m_items.erase(old);
    const TreeItem fresh = m_next++;
    moved.mark = mark;
    for (TreeItem child : moved.children)
        m_items.at(child).parent = fresh;
    if (moved.record)
        moved.record->hItem = fresh;
    m_items.emplace(fresh, std::move(moved));
    Place(fresh, parent, placement);
    return fresh;
}

void UsbTree::Clear()
{
    // Records are freed with their items; anyone still holding a weak reference sees them expire.
    m_items.clear();
    m_top.clear();
}

const std::string &UsbTree::Text(TreeItem item) const
{
    const auto it = m_items.find(item);
    return it == m_items.end() ? kNoText : it->second.text;
}

int UsbTree::Mark(TreeItem item) const
{
    const auto it = m_items.find(item);
    return it == m_items.end() ? -1 : it->second.mark;
}

TreeItem UsbTree::Parent(TreeItem item) const
{
    const auto it = m_items.find(item);
    return it == m_items.end() ? TREE_NONE : it->second.parent;
}

const std::vector<TreeItem> &UsbTree::Children(TreeItem item) const
{
    if (item == TREE_NONE)
        return m_top;
    const auto it = m_items.find(item);
    return it == m_items.end() ? kNoChildren : it->second.children;
}

bool UsbTree::IsExpanded(TreeItem item) const
{
    const auto it = m_items.find(item);
    return it != m_items.end() && it->second.expanded;
}

void UsbTree::Expand(TreeItem item)
{
    const auto it = m_items.find(item);
    if (it != m_items.end())
        it->second.expanded = true;
}

UsbNodeInfo *UsbTree::Record(TreeItem item) const
{
    const auto it = m_items.find(item);
    return it == m_items.end() ? nullptr : it->second.record.get();
}

void UsbTree::Attach(TreeItem item, std::shared_ptr<UsbNodeInfo> record)
{
    const auto it = m_items.find(item);
    if (it != m_items.end())
        it->second.record = std::move(record);
}
