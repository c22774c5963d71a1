// Stand-in for the object/attribute library: an option node, typed attributes and the parser.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

namespace Keelwork {

class AttributeBase;

// Host of the attributes; it does not own them and must outlive them.
class Node {
public:
    Node() = default;
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    AttributeBase* find(const QByteArray& name) const;

private:
    friend class AttributeBase;
    std::vector<AttributeBase*> m_attributes;
};

class AttributeBase {
public:
    AttributeBase(Node* host, const QByteArray& name);
    virtual ~AttributeBase();
    AttributeBase(const AttributeBase&) = delete;
    AttributeBase& operator=(const AttributeBase&) = delete;

    const QByteArray& name() const { return m_name; }
    // A flag is set by its name alone; any other attribute needs a value.
    virtual bool isFlag() const = 0;
    virtual void setFromText(const QString& text) = 0;

private:
    Node* m_host;
    QByteArray m_name;
};

template <typename T> class AttributeT;

template <> class AttributeT<bool> : public AttributeBase {
public:
    AttributeT(Node* host, const QByteArray& name, bool value)
        : AttributeBase(host, name), m_value(value)
    {
    }
    bool value() const { return m_value; }
    operator bool() const { return m_value; }
    bool isFlag() const override { return true; }
    void setFromText(const QString&) override { m_value = true; }

private:
    bool m_value;
};

template <> class AttributeT<QString> : public AttributeBase {
public:
    AttributeT(Node* host, const QByteArray& name, const QString& value)
        : AttributeBase(host, name), m_value(value)
    {
    }
    const QString& value() const { return m_value; }
    operator const QString&() const { return m_value; }
    bool isFlag() const override { return false; }
    void setFromText(const QString& text) override { m_value = text; }

private:
    QString m_value;
};

class CmdParser {
public:
    // Sets the node's attributes from argv[1..argc): "--name value" or "--name=value" for a
    // text option, "--name" for a flag. The last occurrence wins; a text option last on the
    // line without its value keeps what it had. Returns the arguments that named no option.
    static QStringList parse(int& argc, char** argv, Node& node);
};

} // namespace Keelwork
