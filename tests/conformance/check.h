// A small runner for the conformance suite: the same cases are built for the host
// (against the simulated machine) and for Windows (against the real API, under
// Wine), where GoogleTest is not at hand. It closes with "N passed, N failed".
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

namespace conformance {

using CaseFunction = void (*)();

struct Case {
    const char* name;
    CaseFunction run;
};

std::vector<Case>& Cases();
void Fail(const char* file, int line, const std::string& what);

struct Registrar {
    Registrar(const char* name, CaseFunction run) { Cases().push_back({name, run}); }
};

template <typename T>
std::string Show(const T& value)
{
    if constexpr (std::is_enum_v<T>)
        return std::to_string(static_cast<long long>(value));
    else if constexpr (std::is_integral_v<T>)
        return std::to_string(static_cast<long long>(value));
    else if constexpr (std::is_pointer_v<T>)
        return value ? "(pointer)" : "(null)";
    else
        return "(value)";
}

// Runs every case (or those whose name contains Filter); returns the exit code.
int RunAll(const char* filter);

} // namespace conformance

#define CONFORMANCE_CASE(name)                                       \
    static void name();                                              \
    static ::conformance::Registrar name##_registrar(#name, &name);  \
    static void name()

#define CHECK(condition)                                                        \
    do {                                                                        \
        if (!(condition)) ::conformance::Fail(__FILE__, __LINE__, #condition); \
    } while (0)

#define CHECK_EQ(actual, expected)                                                                         \
    do {                                                                                                   \
        const auto check_actual_ = (actual);                                                               \
        const auto check_expected_ = (expected);                                                           \
        if (!(check_actual_ == check_expected_))                                                           \
            ::conformance::Fail(__FILE__, __LINE__,                                                        \
                                std::string(#actual " == " #expected ": got ") +                           \
                                    ::conformance::Show(check_actual_) + ", expected " +                   \
                                    ::conformance::Show(check_expected_));                                 \
    } while (0)
