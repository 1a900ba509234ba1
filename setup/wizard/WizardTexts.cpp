#include "WizardTexts.h"


std::wstring DisclaimerText()
{
    return L"Quillmere 软件使用免责声明\r\n"
           L"\r\n"
           L"感谢您选择使用 Quillmere。在安装和使用本软件前，请您仔细阅读以下声明：\r\n"
           L"\r\n"
           L"一、软件性质\r\n"
           L"Quillmere 是基于开源项目 Harrowby（一款 AI 智能体应用）重新封装的 Windows 桌面应用程序，"
           L"由 Quillmere 团队负责封装与分发。\r\n"
           L"\r\n"
           L"二、AI 算力资源\r\n"
           L"本软件所使用的大语言模型 API 服务及算力资源均由用户自行获取、配置并承担费用。"
           L"Quillmere 团队不提供、也不托管任何模型服务或算力资源，"
           L"对第三方 AI 服务的可用性、准确性及安全性不承担任何责任。\r\n"
           L"\r\n"
           L"三、工作目录授权\r\n"
           L"本软件仅在用户明确授权的电脑工作目录内运行。工作目录的选择、授权及其中文件的管理均由用户自行负责。"
           L"Quillmere 团队不会访问该目录以外的任何文件或数据。\r\n"
           L"\r\n"
           L"四、AI 输出结果\r\n"
           L"AI 生成的内容可能存在不准确、不完整或不恰当之处。用户应自行审核并核实全部输出内容，"
           L"并对依据这些内容作出的决定和采取的行动承担全部责任。\r\n"
           L"\r\n"
           L"五、责任限制\r\n"
           L"在法律允许的最大范围内，Quillmere 团队对因使用或无法使用本软件而造成的任何直接、间接、附带、"
           L"特殊或后果性损失（包括但不限于数据丢失、业务中断及错误的文件操作）不承担责任。\r\n"
           L"\r\n"
           L"六、用户责任\r\n"
           L"用户应在遵守法律法规的前提下使用本软件，并自行承担因不当使用所产生的一切后果。\r\n"
           L"\r\n"
           L"七、知识产权\r\n"
           L"Harrowby 项目遵循其自身的开源许可协议；Quillmere 的封装部分及相关技能（Skills）的权利归 Quillmere 团队所有。\r\n"
           L"\r\n"
           L"八、声明修订\r\n"
           L"Quillmere 团队可随时修订本声明，修订后的声明将随软件更新一并发布。继续使用本软件即表示您接受修订后的声明。\r\n"
           L"\r\n"
           L"Quillmere 团队";
}

// Three lines; the middle of the first is a link to the console where keys are issued.
std::wstring ConsoleLinkMarkup()
{
    return std::wstring(L"本项目仅支持阿里百炼平台，<a href=\"") + kConsoleUrl +
           L"\">点此打开百炼控制台</a> 注册阿里云账号并获取 API Key\n"
           L"• 主模型建议选 \"Coding Plan\"（编程增强版 API 服务）\n"
           L"• 多模态（文档/图像分析）使用百炼普通 API Key 即可";
}

// The product always gets a folder of its own under the one the user picked.
std::wstring AppendProductFolder(const std::wstring& folder)
{
    std::wstring path = folder;
    if (path.empty() || path.back() != L'\\') path += L'\\';
    return path + L"Quillmere";
}
