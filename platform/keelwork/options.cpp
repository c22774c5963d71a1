// Stand-in for the object/attribute library: an option node, typed attributes and the parser.
#include "platform/keelwork/options.h"

#include <QFile>

#include <algorithm>

namespace Keelwork {

AttributeBase* Node::find(const QByteArray& name) const
{
    for (AttributeBase* attribute : m_attributes)
        if (attribute->name() == name)
            return attribute;
    return nullptr;
}

AttributeBase::AttributeBase(Node* host, const QByteArray& name) : m_host(host), m_name(name)
{
    m_host->m_attributes.push_back(this);
}

AttributeBase::~AttributeBase()
{
    auto& list = m_host->m_attributes;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

QStringList CmdParser::parse(int& argc, char** argv, Node& node)
{
    QStringList unused;
    for (int i = 1; i < argc; ++i) {
        const QByteArray argument(argv[i]);
        if (!argument.startsWith("--")) {
            unused << QFile::decodeName(argument);
            continue;
        }
        const int equals = argument.indexOf('=');
        const QByteArray name = argument.mid(2, equals < 0 ? -1 : equals - 2);
        AttributeBase* attribute = node.find(name);
        if (!attribute || (attribute->isFlag() && equals >= 0)) {
            unused << QFile::decodeName(argument);
            continue;
        }
        if (attribute->isFlag())
            attribute->setFromText(QString());
        else if (equals >= 0)
            attribute->setFromText(QFile::decodeName(argument.mid(equals + 1)));
        else if (i + 1 < argc)
            attribute->setFromText(QFile::decodeName(QByteArray(argv[++i])));
    }
    return unused;
}

} // namespace Keelwork
