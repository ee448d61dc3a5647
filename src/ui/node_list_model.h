// The grouped node list as a Qt item model: one header row per group and
// the group's nodes below it, in store order. Rows are made only when the
// view asks for them, so a catalogue of ten thousand nodes refreshes in
// milliseconds.
#pragma once

#include <QAbstractItemModel>
#include <QIcon>

#include <unordered_map>
#include <vector>

#include "app/types.h"

namespace vantor::ui {

class CNodeListModel : public QAbstractItemModel {
  Q_OBJECT

 public:
  // The id a group header carries in kIdRole.
  static constexpr int32_t kHeaderId = -2;
  static constexpr int kIdRole = Qt::UserRole;

  explicit CNodeListModel(QObject* parent = nullptr);

  // Replaces every row (a model reset).
  void setGroups(std::vector<NodeGroup> groups);

  // The node of a row; -1 for a group header or no row.
  int32_t nodeId(const QModelIndex& index) const;
  QModelIndex indexOfNode(int32_t id) const;
  // The node entries next to `index` in display order, across groups; -1
  // when there is none.
  int32_t nodeAfter(const QModelIndex& index) const;
  int32_t nodeBefore(const QModelIndex& index) const;
  int nodeCount() const { return static_cast<int>(where_.size()); }

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  const NodeListItem* item(const QModelIndex& index) const;

  std::vector<NodeGroup> groups_;
  std::unordered_map<int32_t, std::pair<int, int>> where_;  // id -> (group, row)
  QIcon folder_;
};

}  // namespace vantor::ui
