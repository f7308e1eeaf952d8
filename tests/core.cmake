# core tests
