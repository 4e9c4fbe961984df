#pragma once

// The key picker: twelve tonic chips and Major / Minor, above the foot row.

#include <QWidget>

namespace quimbel {

class KeyPicker : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kWidth = 252;
  explicit KeyPicker(QWidget* parent = nullptr);
};

}  // namespace quimbel
