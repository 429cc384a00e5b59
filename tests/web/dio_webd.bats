#!/usr/bin/env bats
