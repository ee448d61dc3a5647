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
  const std::vector<NodeGroup>& groups() const { return groups_; }
  // The node the connection runs through is shown in bold with a tick; -1
  // for none.
  void setConnectedNode(int32_t id);
  int32_t connectedNode() const { return connected_; }
  // A node's latency and last test result changed (a test run ended).
  void setTestResult(int32_t id, int32_t latency, int32_t lastTestResult);

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
  int32_t connected_ = -1;
  QIcon folder_;
  QIcon tick_;
};

}  // namespace vantor::ui
