#pragma once
// The one error type of the program: a readable message, the engine's text included.
#include <QString>
#include <stdexcept>

class FitError : public std::runtime_error {
  public:
    explicit FitError(const QString& message)
        : std::runtime_error(message.toStdString()), msg(message) {}
    const QString& message() const { return msg; }

  private:
    QString msg;
};
