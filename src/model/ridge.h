#pragma once

// The ridge-and-retry rule of every inverse the model takes: a matrix that cannot be
// factorised well enough gets the smallest ridge on its diagonal, from a small margin
// upwards in steps of ten, that lets it be.

#include <Eigen/Dense>
#include <stdexcept>

// A factorisation this ill-conditioned is invertible on paper only: its inverse would be
// rounding noise, so it takes the ridge as well.
constexpr double kMinReciprocalCondition = 1e-13;
// A covariance at least this well conditioned keeps its inverse factor in single precision:
// rounding R to floats moves R c by at most about 6e-8 times R's condition (the square root
// of this bound's inverse, 100), well below what changes a draw. When the bound taken from
// the float factor clears it too, the factor and R are computed in floats (float_cholesky.h).
constexpr double kSinglePrecisionReciprocalCondition = 1e-4;
// First ridge beyond `base`, relative to the matrix's scale.
constexpr double kRidgeMargin = 1e-10;
constexpr int kRidgeAttempts = 40;

// Calls factorise(matrix) and, while it refuses, factorise(matrix + (base + margin) I) for
// margins kRidgeMargin * scale, ten times that, ... Returns true when a ridge was needed;
// throws (naming `what`) when no ridge helps.
template <typename Factorise>
bool factorise_with_smallest_ridge(const Eigen::MatrixXd& matrix, double base, double scale,
                                   const char* what, Factorise factorise) {
  if (factorise(matrix)) return false;
  double margin = kRidgeMargin * scale;
  Eigen::MatrixXd ridged;
  for (int attempt = 0; attempt < kRidgeAttempts; ++attempt, margin *= 10.0) {
    ridged = matrix;
    ridged.diagonal().array() += base + margin;
    if (factorise(ridged)) return true;
  }
  throw std::logic_error(std::string(what) + ": not invertible with any ridge");
}
