#include "logging/ShortFunctionName.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

struct NameCase {
    const char* name;
    const char* signature;
    const char* shortName;
};

class ShortFunctionName : public ::testing::TestWithParam<NameCase> {};

TEST_P(ShortFunctionName, OfSignature)
{
    std::ostringstream out;
    logging::writeShortFunctionName(GetParam().signature, out);
    EXPECT_EQ(out.str(), GetParam().shortName) << GetParam().signature;
}

// The MSVC forms the program's messages were first written against.
INSTANTIATE_TEST_SUITE_P(
    Msvc, ShortFunctionName,
    ::testing::Values(
        NameCase{"Member", "void __thiscall Ostrel::Service::run(void)", "Ostrel::Service::run"},
        NameCase{"TemplateParameter",
                 "void __thiscall Ostrel::Service::toggleLines(class boost::shared_ptr<class Ostrel::LinesetSettings "
                 "const >)",
                 "Ostrel::Service::toggleLines"},
        NameCase{"TemplateReturnType",
                 "class std::basic_string<char,struct std::char_traits<char>,class std::allocator<char> > __thiscall "
                 "C_CfgFileSection::getValue(const class std::basic_string<char,struct std::char_traits<char>,class "
                 "std::allocator<char> > &) const",
                 "C_CfgFileSection::getValue"},
        NameCase{"ClassTemplateMember",
                 "void __thiscall Box<class std::basic_string<char,struct std::char_traits<char>,class "
                 "std::allocator<char> > >::put(int)",
                 "Box<>::put"},
        NameCase{"ConversionOperator", "__thiscall Foo::operator bool(void) const", "Foo::operator bool"},
        NameCase{"CallOperator", "bool __thiscall Foo::operator ()(int) const", "Foo::operator ()"},
        NameCase{"ShiftOperator",
                 "class std::basic_ostream<char,struct std::char_traits<char> > &__cdecl operator <<(class "
                 "std::basic_ostream<char,struct std::char_traits<char> > &,const class Ostrel::Service &)",
                 "operator <<"},
        NameCase{"Lambda", "void __cdecl main::<lambda_1>::operator ()(int) const", "main::<lambda>::operator ()"},
        NameCase{"NoParenthesis", "Box<int>::value", "Box<>::value"}, NameCase{"NoParenthesisPlain", "plain", "plain"},
        NameCase{"Empty", "", ""}),
    [](const ::testing::TestParamInfo<NameCase>& info) { return std::string(info.param.name); });

// What g++ (native and mingw alike) gives as __PRETTY_FUNCTION__.
INSTANTIATE_TEST_SUITE_P(
    Gcc, ShortFunctionName,
    ::testing::Values(
        NameCase{"Member", "void Ostrel::Service::run()", "Ostrel::Service::run"},
        NameCase{"Constructor", "Ostrel::Service::Service()", "Ostrel::Service::Service"},
        NameCase{"Destructor", "Ostrel::Service::~Service()", "Ostrel::Service::~Service"},
        NameCase{"VirtualDestructor", "virtual Ostrel::Service::~Service()", "Ostrel::Service::~Service"},
        NameCase{"Static", "static int Ostrel::Service::count()", "Ostrel::Service::count"},
        NameCase{"FreeStaticFunction", "void helper()", "helper"},
        NameCase{"AnonymousNamespace", "void {anonymous}::anon()", "{anonymous}::anon"},
        NameCase{"TemplateParameter",
                 "void Ostrel::Service::toggleLines(std::shared_ptr<const Ostrel::LinesetSettings>)",
                 "Ostrel::Service::toggleLines"},
        NameCase{"TemplateReturnTypeWithBlanks", "std::map<std::__cxx11::basic_string<char>, int> mk()", "mk"},
        NameCase{"ConstMember", "std::string Ostrel::Service::getValue(const std::string&) const",
                 "Ostrel::Service::getValue"},
        NameCase{"RefQualified", "void Ostrel::Service::refq() &&", "Ostrel::Service::refq"},
        NameCase{"ClassTemplateMember", "void Box<T>::put(T) [with T = std::__cxx11::basic_string<char>]",
                 "Box<>::put"},
        NameCase{"MemberTemplateOfClassTemplate",
                 "std::vector<U> Box<T>::conv(U) [with U = double; T = std::__cxx11::basic_string<char>]",
                 "Box<>::conv"},
        NameCase{"NestedInClassTemplate", "void Arr<T, N>::Inner::f() [with T = int; int N = 3]", "Arr<>::Inner::f"},
        NameCase{"StaticOfClassTemplate", "static void Arr<T, N>::s() [with T = int; int N = 3]", "Arr<>::s"},
        NameCase{"Specialisation", "static void Arr<char, 2>::s()", "Arr<>::s"},
        NameCase{"FunctionTemplate", "T twice(T) [with T = std::vector<int>]", "twice"},
        NameCase{"Variadic", "void variadic(Ts ...) [with Ts = {int, double, const char*}]", "variadic"},
        NameCase{"CallOperator", "bool Ostrel::Service::operator()(int) const", "Ostrel::Service::operator()"},
        NameCase{"ShiftOperator", "std::ostream& operator<<(std::ostream&, const Ostrel::Service&)", "operator<<"},
        NameCase{"LessOperator", "bool Ostrel::Service::operator<(const Ostrel::Service&) const",
                 "Ostrel::Service::operator<"},
        NameCase{"LessEqualOperator", "bool Ostrel::Service::operator<=(const Ostrel::Service&) const",
                 "Ostrel::Service::operator<="},
        NameCase{"GreaterOperator", "bool X::operator>(const X&) const", "X::operator>"},
        NameCase{"ShiftAssignOperators", "Ostrel::Service& Ostrel::Service::operator<<=(int)",
                 "Ostrel::Service::operator<<="},
        NameCase{"RightShiftAssign", "X& X::operator>>=(int)", "X::operator>>="},
        NameCase{"ArrowOperator", "X* X::operator->()", "X::operator->"},
        NameCase{"ArrowStarOperator", "int Ostrel::Service::operator->*(int)", "Ostrel::Service::operator->*"},
        NameCase{"SubscriptOperator", "int X::operator[](int) const", "X::operator[]"},
        NameCase{"CommaOperator", "int Ostrel::Service::operator,(int)", "Ostrel::Service::operator,"},
        NameCase{"AssignOperator", "Ostrel::Service& Ostrel::Service::operator=(const Ostrel::Service&)",
                 "Ostrel::Service::operator="},
        NameCase{"OperatorNewArray", "static void* Ostrel::Service::operator new [](std::size_t)",
                 "Ostrel::Service::operator new []"},
        NameCase{"OperatorDelete", "static void X::operator delete(void*)", "X::operator delete"},
        NameCase{"ConversionOperator", "Ostrel::Service::operator bool() const", "Ostrel::Service::operator bool"},
        NameCase{"ConversionToPointer", "Ostrel::Service::operator const char*() const",
                 "Ostrel::Service::operator const char*"},
        NameCase{"ConversionToTemplate", "Ostrel::Service::operator std::vector<int>() const",
                 "Ostrel::Service::operator std::vector<>"},
        NameCase{"ConversionInClassTemplate", "Box<T>::operator T() const [with T = std::__cxx11::basic_string<char>]",
                 "Box<>::operator T"},
        NameCase{"LiteralOperator", "long long unsigned int operator\"\"_k(long long unsigned int)", "operator\"\"_k"},
        NameCase{"NotAnOperatorKeyword", "void Ostrel::cooperator(int)", "Ostrel::cooperator"},
        NameCase{"Lambda", "main()::<lambda(int)>", "main::<lambda>"},
        NameCase{"LambdaInMember", "Ostrel::Service::run()::<lambda()>", "Ostrel::Service::run::<lambda>"},
        NameCase{"LambdaInConstMember", "Ostrel::Service::getValue(const std::string&) const::<lambda(int)>",
                 "Ostrel::Service::getValue::<lambda>"},
        NameCase{"NestedLambda", "Ostrel::Service::run()::<lambda()>::<lambda(char)>",
                 "Ostrel::Service::run::<lambda>::<lambda>"},
        NameCase{"LambdaInMemberTemplate", "Ostrel::Service::tmember<int>(int)::<lambda()>",
                 "Ostrel::Service::tmember<>::<lambda>"},
        NameCase{"GenericLambda", "main()::<lambda(auto:1)> [with auto:1 = std::__cxx11::basic_string<char>]",
                 "main::<lambda>"},
        NameCase{"LocalClassMember", "void main()::Local::f()", "main::Local::f"},
        NameCase{"LocalClassInLambda", "static void main()::<lambda(int)>::L::g()", "main::<lambda>::L::g"},
        NameCase{"UnbalancedAngle", "void f<(int)", "f<"}),
    [](const ::testing::TestParamInfo<NameCase>& info) { return std::string(info.param.name); });

// The table above holds text; this checks that it is the text the compiler
// building this test really produces.
struct Probe {
    template <class T>
    struct Box {
        std::string put(T) { return __PRETTY_FUNCTION__; }
    };
    std::string operator()(int) const { return __PRETTY_FUNCTION__; }
    bool operator<<(int) const { return true; }
    static std::string shift() { return __PRETTY_FUNCTION__; }
    std::string lambda()
    {
        return [] { return std::string(__PRETTY_FUNCTION__); }();
    }
};

std::string shortOf(const std::string& signature)
{
    std::ostringstream out;
    logging::writeShortFunctionName(signature.c_str(), out);
    return out.str();
}

TEST(ShortFunctionNameOfThisCompiler, RealSignatures)
{
    Probe probe;
    EXPECT_EQ(shortOf(Probe::Box<std::string>().put("")), "{anonymous}::Probe::Box<>::put");
    EXPECT_EQ(shortOf(probe(1)), "{anonymous}::Probe::operator()");
    EXPECT_EQ(shortOf(Probe::shift()), "{anonymous}::Probe::shift");
    EXPECT_EQ(shortOf(probe.lambda()), "{anonymous}::Probe::lambda::<lambda>");
    EXPECT_EQ(shortOf(__PRETTY_FUNCTION__),
              "{anonymous}::ShortFunctionNameOfThisCompiler_RealSignatures_Test::TestBody");
}

}  // namespace
