// A minimal test harness for the native tests: CHECK macros that print the
// failing expression with both values, and a runner for named test cases.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace check {

inline int failures = 0;
inline std::string current_test;

template <class T>
std::string show(const T& value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

inline std::string show(int8_t value) { return std::to_string(int{value}); }
inline std::string show(bool value) { return value ? "true" : "false"; }

template <class Seq>
std::string show_sequence(const Seq& values) {
    std::ostringstream out;
    out << "[";
    size_t i = 0;
    for (const auto& value : values) {
        if (i == 40) {
            out << ", ... (" << values.size() << " items)";
            break;
        }
        out << (i++ ? ", " : "") << show(value);
    }
    out << "]";
    return out.str();
}

template <class T>
std::string show(const std::vector<T>& values) { return show_sequence(values); }
template <class T>
std::string show(const std::deque<T>& values) { return show_sequence(values); }
template <class T>
std::string show(const std::set<T>& values) { return show_sequence(values); }

template <class K, class V>
std::string show(const std::map<K, V>& values) {
    std::ostringstream out;
    out << "{";
    bool first = true;
    for (const auto& [key, value] : values) {
        out << (first ? "" : ", ") << show(key) << ": " << show(value);
        first = false;
    }
    out << "}";
    return out.str();
}

inline void report_failure(const char* file, int line, const std::string& what) {
    ++failures;
    std::cout << file << ":" << line << ": FAILED in " << current_test << ": " << what << "\n";
}

inline bool check_true(bool ok, const char* expr, const char* file, int line) {
    if (!ok) report_failure(file, line, std::string("CHECK(") + expr + ")");
    return ok;
}

template <class A, class B>
bool check_eq(const A& a, const B& b, const char* expr_a, const char* expr_b, const char* file,
              int line) {
    if (a == b) return true;
    report_failure(file, line, std::string("CHECK_EQ(") + expr_a + ", " + expr_b + ")\n    left:  " +
                                   show(a) + "\n    right: " + show(b));
    return false;
}

using TestList = std::vector<std::pair<std::string, std::function<void()>>>;

// Runs the test named `only` (every test when empty); the process exit code.
inline int run_tests(const TestList& tests, const std::string& only) {
    int run = 0;
    for (const auto& [name, body] : tests) {
        if (!only.empty() && name != only) continue;
        ++run;
        current_test = name;
        const int before = failures;
        try {
            body();
        } catch (const std::exception& e) {
            report_failure(__FILE__, __LINE__, std::string("unexpected exception: ") + e.what());
        }
        std::cout << (failures == before ? "[ ok ] " : "[FAIL] ") << name << "\n";
    }
    if (run == 0) {
        std::cout << "no test named '" << only << "'\n";
        return 2;
    }
    std::cout << failures << " failed check(s)\n";
    return failures == 0 ? 0 : 1;
}

inline void list_tests(const TestList& tests) {
    for (const auto& test : tests) std::cout << test.first << "\n";
}

// The main of a test program: `--list` names the tests, `--run NAME` runs
// one, no argument runs them all.
inline int main(int argc, char** argv, const TestList& tests) {
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--list") {
            list_tests(tests);
            return 0;
        }
        if (arg == "--run" && i + 1 < argc) only = argv[++i];
    }
    return run_tests(tests, only);
}

}  // namespace check

#define CHECK(expr) ::check::check_true(static_cast<bool>(expr), #expr, __FILE__, __LINE__)
#define CHECK_EQ(a, b) ::check::check_eq((a), (b), #a, #b, __FILE__, __LINE__)

// Checks that `expr` throws `Exception` whose what() is exactly `message`.
#define CHECK_THROWS_WITH(expr, Exception, message)                                          \
    do {                                                                                     \
        bool thrown_ = false;                                                                \
        try {                                                                                \
            (void)(expr);                                                                    \
        } catch (const Exception& e_) {                                                      \
            thrown_ = true;                                                                  \
            ::check::check_eq(std::string(e_.what()), std::string(message), "what()",        \
                              #message, __FILE__, __LINE__);                                 \
        }                                                                                    \
        if (!thrown_)                                                                        \
            ::check::report_failure(__FILE__, __LINE__, #expr " did not throw " #Exception); \
    } while (false)
