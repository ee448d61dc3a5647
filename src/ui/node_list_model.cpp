#include "ui/node_list_model.h"

#include <QFont>

#include "ui/ui_common.h"

namespace vantor::ui {

namespace {

QString groupName(const std::string& name) {
  return name.empty() || name == kDefaultGroupName ? T(kDefaultGroupName) : U(name);
}

}  // namespace

// internalId 0 marks a group row; a node row carries its group's index + 1.
CNodeListModel::CNodeListModel(QObject* parent)
    : QAbstractItemModel(parent), folder_(appIcon("group.svg")), tick_(appIcon("connected_node.svg")) {}

void CNodeListModel::setGroups(std::vector<NodeGroup> groups) {
  beginResetModel();
  groups_ = std::move(groups);
  where_.clear();
  for (std::size_t g = 0; g < groups_.size(); ++g)
    for (std::size_t i = 0; i < groups_[g].items.size(); ++i)
      where_[groups_[g].items[i].id] = {static_cast<int>(g), static_cast<int>(i)};
  endResetModel();
}

void CNodeListModel::setConnectedNode(int32_t id) {
  if (id == connected_) return;
  int32_t before = connected_;
  connected_ = id;
  for (int32_t changed : {before, id}) {
    QModelIndex row = indexOfNode(changed);
    if (row.isValid()) emit dataChanged(row, row.siblingAtColumn(1));
  }
}

void CNodeListModel::setTestResult(int32_t id, int32_t latency, int32_t lastTestResult) {
  auto it = where_.find(id);
  if (it == where_.end()) return;
  NodeListItem& node =
      groups_[static_cast<std::size_t>(it->second.first)].items[static_cast<std::size_t>(it->second.second)];
  if (node.latency == latency && node.lastTestResult == lastTestResult) return;
  node.latency = latency;
  node.lastTestResult = lastTestResult;
  QModelIndex cell = indexOfNode(id).siblingAtColumn(1);
  emit dataChanged(cell, cell);
}

const NodeListItem* CNodeListModel::item(const QModelIndex& index) const {
  if (!index.isValid() || index.internalId() == 0) return nullptr;
  const NodeGroup& group = groups_[index.internalId() - 1];
  return &group.items[static_cast<std::size_t>(index.row())];
}

int32_t CNodeListModel::nodeId(const QModelIndex& index) const {
  const NodeListItem* node = item(index);
  return node ? node->id : -1;
}

QModelIndex CNodeListModel::indexOfNode(int32_t id) const {
  auto it = where_.find(id);
  if (it == where_.end()) return {};
  return createIndex(it->second.second, 0, static_cast<quintptr>(it->second.first) + 1);
}

int32_t CNodeListModel::nodeAfter(const QModelIndex& index) const {
  if (!index.isValid()) return -1;
  std::size_t g = index.internalId() == 0 ? static_cast<std::size_t>(index.row()) : index.internalId() - 1;
  std::size_t next = index.internalId() == 0 ? 0 : static_cast<std::size_t>(index.row()) + 1;
  for (; g < groups_.size(); ++g, next = 0)
    if (next < groups_[g].items.size()) return groups_[g].items[next].id;
  return -1;
}

int32_t CNodeListModel::nodeBefore(const QModelIndex& index) const {
  if (!index.isValid()) return -1;
  // A header: the last node of an earlier group; a node: the one above it,
  // else the last node of an earlier group.
  int g = index.internalId() == 0 ? index.row() : static_cast<int>(index.internalId() - 1);
  if (index.internalId() != 0 && index.row() > 0)
    return groups_[static_cast<std::size_t>(g)].items[static_cast<std::size_t>(index.row() - 1)].id;
  for (--g; g >= 0; --g) {
    const std::vector<NodeListItem>& items = groups_[static_cast<std::size_t>(g)].items;
    if (!items.empty()) return items.back().id;
  }
  return -1;
}

QModelIndex CNodeListModel::index(int row, int column, const QModelIndex& parent) const {
  if (row < 0 || column < 0 || column >= 2) return {};
  if (!parent.isValid()) {
    if (static_cast<std::size_t>(row) >= groups_.size()) return {};
    return createIndex(row, column, quintptr(0));
  }
  if (parent.internalId() != 0) return {};
  std::size_t g = static_cast<std::size_t>(parent.row());
  if (g >= groups_.size() || static_cast<std::size_t>(row) >= groups_[g].items.size()) return {};
  return createIndex(row, column, static_cast<quintptr>(g) + 1);
}

QModelIndex CNodeListModel::parent(const QModelIndex& child) const {
  if (!child.isValid() || child.internalId() == 0) return {};
  return createIndex(static_cast<int>(child.internalId() - 1), 0, quintptr(0));
}

int CNodeListModel::rowCount(const QModelIndex& parent) const {
  if (!parent.isValid()) return static_cast<int>(groups_.size());
  if (parent.internalId() != 0 || parent.column() != 0) return 0;
  return static_cast<int>(groups_[static_cast<std::size_t>(parent.row())].items.size());
}

int CNodeListModel::columnCount(const QModelIndex&) const { return 2; }

QVariant CNodeListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  if (index.internalId() == 0) {
    const NodeGroup& group = groups_[static_cast<std::size_t>(index.row())];
    if (index.column() != 0) return {};
    switch (role) {
      case Qt::DisplayRole:
        return groupName(group.name);
      case Qt::DecorationRole:
        return folder_;
      case Qt::FontRole: {
        QFont bold;
        bold.setBold(true);
        return bold;
      }
      case kIdRole:
        return kHeaderId;
      default:
        return {};
    }
  }
  const NodeListItem* node = item(index);
  bool connected = node->id == connected_;
  if (role == Qt::FontRole && connected) {
    QFont bold;
    bold.setBold(true);
    return bold;
  }
  if (index.column() == 1) {
    switch (role) {
      case Qt::DisplayRole:
        // A failed test says so even where an earlier probe left a time.
        if (node->lastTestResult == 0) return T("failed");
        return node->latency > 0 ? QString::asprintf("%d ms", node->latency) : QString("-");
      case Qt::ToolTipRole:
        if (node->lastTestResult == 0) return T("The last test of this node failed.");
        if (node->lastTestResult == 1) return T("The last test of this node passed.");
        return {};
      case Qt::DecorationRole:
        return connected ? tick_ : QVariant();
      case Qt::TextAlignmentRole:
        return int(Qt::AlignRight | Qt::AlignVCenter);
      default:
        return {};
    }
  }
  switch (role) {
    case Qt::ToolTipRole:
      return connected ? T("Connected through this node") : QVariant();
    case Qt::DisplayRole: {
      // "[SR] group -> name": the default group's name in the user's language.
      const std::string& group = groups_[index.internalId() - 1].name;
      if (group.empty() || group == kDefaultGroupName) {
        std::size_t cut = node->text.find("] ");
        if (cut != std::string::npos)
          return U(node->text.substr(0, cut + 2)) + T(kDefaultGroupName) + " -> " + U(node->text.substr(cut + 2));
      }
      return U(node->groupedText);
    }
    case Qt::DecorationRole:
      return flagIcon(node->nCountryIndex);
    case kIdRole:
      return node->id;
    default:
      return {};
  }
}

QVariant CNodeListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  return section == 0 ? T("Proxy server") : T("Latency");
}

}  // namespace vantor::ui
