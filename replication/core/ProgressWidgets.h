#pragma once

#include <QString>

// The table label of a channel panel. Channels write the current table name
// into it and read it back as that name, so every client needs one before it
// runs: the label of the window or a plain text holder.
class ITableLabel
{
public:
    virtual ~ITableLabel() = default;
    virtual QString Caption() const = 0;
    virtual void SetCaption(const QString& text) = 0;
};

// A table label without a window.
class TTextHolder : public ITableLabel
{
public:
    explicit TTextHolder(QString text = {}) : m_text(std::move(text)) {}
    QString Caption() const override { return m_text; }
    void SetCaption(const QString& text) override { m_text = text; }

private:
    QString m_text;
};

// The progress bar of a channel panel: rows done of the current table.
class IProgressBar
{
public:
    virtual ~IProgressBar() = default;
    virtual int Max() const = 0;
    virtual void SetMax(int value) = 0;
    virtual int Position() const = 0;
    virtual void SetPosition(int value) = 0;
};

// A progress bar without a window; keeps what it is told.
class TPlainProgressBar : public IProgressBar
{
public:
    int Max() const override { return m_max; }
    void SetMax(int value) override { m_max = value; }
    int Position() const override { return m_position; }
    void SetPosition(int value) override { m_position = value; }

private:
    int m_max = 100;
    int m_position = 0;
};
