#pragma once
// The one error type of the program: a readable message, the engine's text included.
#include <QString>
#include <stdexcept>

class FitError : public std::runtime_error {
  public:
    explicit FitError(const QString& message)
        : std::runtime_error(message.toStdString()), msg(message) {}
    const QString& message() const { return msg; }
    // The message's first line, for a list of problems where the engine's
    // further lines (the statement, the position) would drown the others.
    QString firstLine() const { return msg.section(QLatin1Char('\n'), 0, 0).trimmed(); }

  private:
    QString msg;
};
