#pragma once
// The sensitivities of the uncertainty analysis, kept as what the runs gave:
// the simulated values of the base run and of each parameter's run, as plain
// doubles, and each parameter's step. An element is computed when it is read,
// with the same extended-precision arithmetic as a stored one would have been,
// so the table holds the values' own size instead of an extended-precision
// matrix of rows (about four times as much).
//
// Read as a matrix from row 1: table[k][0] is the base run's value of row k,
// table[k][j] its sensitivity to parameter j. A table can also be given its
// elements directly (the rows of a matrix, from row 0), as tests do.
#include <initializer_list>
#include <vector>

class SensitivityTable {
  public:
    SensitivityTable() = default;
    // Elements given directly; row 0 is not used.
    SensitivityTable(std::initializer_list<std::vector<long double>> rows) : given(rows) {}

    // A table of `rows` result rows for `parameters` parameters; central: each
    // parameter also has a lowered run.
    void reset(int rows, int parameters, bool central);
    // The runs' values (each `rows` long, moved in): the base run, then the
    // raised (and lowered) run of parameter j with the step actually taken.
    void setBase(std::vector<double>&& values);
    void setRaised(int j, std::vector<double>&& values, double step);
    void setLowered(int j, std::vector<double>&& values, double stepDown);

    long double at(int k, int j) const;

    class Row {
      public:
        long double operator[](int j) const { return table->at(k, j); }
        int size() const { return table->columns(k); }

      private:
        friend class SensitivityTable;
        Row(const SensitivityTable* t, int row) : table(t), k(row) {}
        const SensitivityTable* table;
        int k;
    };
    Row operator[](int k) const { return Row(this, k); }
    // Rows counted from 0 as in a matrix: the result rows plus one.
    int size() const;
    int columns(int k) const;
    bool empty() const { return size() == 0; }

  private:
    std::vector<std::vector<long double>> given;
    int observationCount = 0, ndim = 0;
    bool central = false;
    std::vector<double> base;
    std::vector<std::vector<double>> raised, lowered; // [j - 1]
    std::vector<double> up, down;                     // [j - 1]: the steps taken
};
